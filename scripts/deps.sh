# Sourced by scripts/test and scripts/demo: installs the Debian packages the
# build needs, only those missing (idempotent, no network when all are there).
vel_packages=(
  build-essential cmake ninja-build pkg-config ccache
  clang libclang-rt-dev
  liblz4-dev libxxhash-dev nlohmann-json3-dev libpng-dev libstb-dev libcairo2-dev fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev
  curl
  procps util-linux
  duktape-dev
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
# Compiles go through ccache when it is there. Paths under the checkout are
# hashed relative to it and the working directory is left out, so a fresh
# clone in another folder (CI's) hits what earlier builds of the same sources
# on this machine put in the cache.
vel_build() {
  local dir=$1
  shift
  mkdir -p "$dir"
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$vel_root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-20G}
    # The test suites' precompiled headers: without these ccache leaves
    # every compile that uses one uncached.
    export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$vel_root" -B "$dir" -G Ninja "${launcher[@]}" "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  ninja -C "$dir" -j "$(vel_jobs)" "${vel_targets[@]}"
}
