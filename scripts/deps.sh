# Sourced by scripts/test and scripts/demo: installs the Debian packages the
# build needs, only those missing (idempotent, no network when all are there).
vel_packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-dev
  liblz4-dev nlohmann-json3-dev libpng-dev libstb-dev libcairo2-dev fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev
  curl
)

vel_install_deps() {
  local missing=()
  for p in "${vel_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

vel_jobs() { nproc 2>/dev/null || echo 2; }

# vel_build DIR [cmake args...]: configure once, then build everything.
vel_build() {
  local dir=$1
  shift
  mkdir -p "$dir"
  cmake -S "$vel_root" -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  ninja -C "$dir" -j "$(vel_jobs)" "${vel_targets[@]}"
}
