#include "hostile_producer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

// The segment as the transport lays it out: a 192-byte header, then the
// payload. Offsets in bytes, integers little-endian.
constexpr size_t kHeaderBytes = 192;
constexpr size_t kAtToken = 8;
constexpr size_t kAtCapacity = 24;
constexpr size_t kAtSlot = 32;
constexpr size_t kAtClosed = 36;
constexpr size_t kAtAttached = 40;
constexpr size_t kAtUnlinked = 48;
constexpr size_t kAtWatched = 52;
constexpr size_t kAtPayloadLength = 56;
constexpr size_t kAtRecord = 64;  // twelve 8-byte words
constexpr uint32_t kFree = 0, kWriting = 1, kReady = 2;

constexpr auto kPatience = std::chrono::seconds(10);

struct Contract {
  std::string mapping;
  uint8_t token[16] = {};
  uint64_t capacity = 0;
  int64_t first = 0, last = 0, step = 0;
  uint64_t scale = 0, width = 0, height = 0;
};

std::optional<Contract> read_manifest(const std::string& output, std::string& why) {
  std::ifstream in(output + ".vnx-manifest.json");
  const nlohmann::json m = nlohmann::json::parse(in, nullptr, false);
  if (!m.is_object()) {
    why = "no readable manifest beside " + output;
    return std::nullopt;
  }
  try {
    Contract c;
    c.mapping = m.at("mapping_name").get<std::string>();
    const std::vector<int> token = m.at("token").get<std::vector<int>>();
    if (token.size() != 16) throw std::runtime_error("token");
    for (size_t i = 0; i < 16; ++i) c.token[i] = static_cast<uint8_t>(token[i]);
    c.capacity = m.at("capacity").get<uint64_t>();
    c.first = m.at("range_start").get<int64_t>();
    c.last = m.at("range_end").get<int64_t>();
    c.step = m.at("step").get<int64_t>();
    c.scale = m.at("key_scale").get<uint64_t>();
    c.width = m.at("width").get<uint64_t>();
    c.height = m.at("height").get<uint64_t>();
    if (c.capacity > (64u << 20)) throw std::runtime_error("capacity");
    return c;
  } catch (const std::exception& e) {
    why = std::string("manifest field: ") + e.what();
    return std::nullopt;
  }
}

class Segment {
 public:
  ~Segment() {
    if (base_ != nullptr) ::munmap(base_, length_);
    if (fd_ >= 0) ::close(fd_);
  }
  bool attach(const Contract& c, std::string& why) {
    fd_ = ::shm_open(c.mapping.c_str(), O_RDWR, 0);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) < kHeaderBytes + c.capacity) {
      why = "cannot open the segment " + c.mapping;
      return false;
    }
    length_ = kHeaderBytes + c.capacity;
    void* p = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      why = "cannot map the segment";
      return false;
    }
    base_ = static_cast<uint8_t*>(p);
    uint64_t capacity = 0;
    std::memcpy(&capacity, base_ + kAtCapacity, 8);
    if (std::memcmp(base_, "VNXMEM01", 8) != 0 || std::memcmp(base_ + kAtToken, c.token, 16) != 0 ||
        capacity != c.capacity) {
      why = "the segment is not the manifest's";
      return false;
    }
    uint32_t none = 0;
    if (!__atomic_compare_exchange_n(word(kAtAttached), &none, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      why = "another producer is attached";
      return false;
    }
    // Every page looked at before the unlinked word, as the transport asks
    // of a producer: a first store into a page not yet in this mapping
    // would move the file's times, which the host takes for a cut.
    for (size_t at = 0; at < length_; at += 4096) (void)*static_cast<volatile uint8_t*>(base_ + at);
    (void)*static_cast<volatile uint8_t*>(base_ + length_ - 1);
    ::shm_unlink(c.mapping.c_str());
    __atomic_store_n(word(kAtUnlinked), 1, __ATOMIC_RELEASE);
    return true;
  }
  uint32_t* word(size_t at) const { return reinterpret_cast<uint32_t*>(base_ + at); }
  uint32_t load(size_t at) const { return __atomic_load_n(word(at), __ATOMIC_ACQUIRE); }
  uint8_t* at(size_t offset) const { return base_ + offset; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  uint8_t* base_ = nullptr;
  size_t length_ = 0;
};

bool wait_for(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct Publish {
  int64_t frame = 0;
  uint64_t third_contract_word = 0;
  uint64_t extra_length = 0;
  bool shrink = false;
};

// One frame through the slot: opaque white pixels, a record as the
// transport writes it, then the ready state.
bool publish(Segment& s, const Contract& c, const Publish& p, std::string& why) {
  if (!wait_for([&] { return s.load(kAtClosed) != 0 || (s.load(kAtWatched) != 0 && s.load(kAtSlot) == kFree); }) ||
      s.load(kAtClosed) != 0) {
    why = "the slot never came free";
    return false;
  }
  uint32_t free = kFree;
  if (!__atomic_compare_exchange_n(s.word(kAtSlot), &free, kWriting, false, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE)) {
    why = "the slot was taken";
    return false;
  }
  std::memset(s.at(kHeaderBytes), 0xFF, c.capacity);
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t record[12] = {static_cast<uint64_t>(p.frame),
                               static_cast<uint64_t>(p.frame * c.step),
                               c.scale,
                               c.width,
                               c.height,
                               1,
                               static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec),
                               0,
                               0,
                               1,
                               1,
                               p.third_contract_word};
  std::memcpy(s.at(kAtRecord), record, sizeof record);
  const uint64_t length = c.capacity + p.extra_length;
  std::memcpy(s.at(kAtPayloadLength), &length, 8);
  if (p.shrink && ::ftruncate(s.fd(), static_cast<off_t>(kHeaderBytes + c.capacity / 2)) != 0) {
    why = "cannot shrink the segment";
    return false;
  }
  __atomic_store_n(s.word(kAtSlot), kReady, __ATOMIC_RELEASE);
  return true;
}

}  // namespace

int run_hostile_producer(const std::string& output, HostileOutput kind, std::FILE* log) {
  std::string why;
  const std::optional<Contract> c = read_manifest(output, why);
  Segment s;
  bool ok = c && s.attach(*c, why);
  if (ok) {
    switch (kind) {
      case HostileOutput::Duplicate:
        ok = publish(s, *c, {.frame = c->first}, why) && publish(s, *c, {.frame = c->first}, why);
        break;
      case HostileOutput::ContractWord:
        ok = publish(s, *c, {.frame = c->first, .third_contract_word = 1}, why);
        break;
      case HostileOutput::OutOfRange:
        ok = publish(s, *c, {.frame = c->last + 1}, why);
        break;
      case HostileOutput::PayloadTooLong:
        ok = publish(s, *c, {.frame = c->first, .extra_length = 1}, why);
        break;
      case HostileOutput::Shrunk:
        ok = publish(s, *c, {.frame = c->first, .shrink = true}, why);
        break;
    }
  }
  if (ok && !wait_for([&] { return s.load(kAtClosed) != 0; })) {
    ok = false;
    why = "the consumer never closed the output";
  }
  if (!ok) {
    std::fprintf(log, "aerender ERROR: hostile output: %s\n", why.c_str());
  } else {
    std::fprintf(log, "aerender: the consumer closed the output\n");
  }
  std::fflush(log);
  return ok ? 0 : 1;
}

}  // namespace sim
