// Host objects handed to the plug-in as opaque handles. The host keeps every
// live one here, so that a stale, foreign or doubly freed handle is refused
// with an error instead of being dereferenced.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace sim {

template <class T>
class LiveSet {
 public:
  T* add(std::unique_ptr<T> obj) {
    T* raw = obj.get();
    std::lock_guard<std::mutex> lock(mu_);
    live_.emplace(raw, std::move(obj));
    return raw;
  }
  // The object behind a handle, or null when it is not live. The caller must
  // not keep the pointer past a take() of the same handle.
  T* find(const void* handle) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(static_cast<const T*>(handle));
    return it == live_.end() ? nullptr : it->second.get();
  }
  std::unique_ptr<T> take(const void* handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(static_cast<const T*>(handle));
    if (it == live_.end()) return nullptr;
    std::unique_ptr<T> obj = std::move(it->second);
    live_.erase(it);
    return obj;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return live_.size();
  }

 private:
  mutable std::mutex mu_;
  std::unordered_map<const T*, std::unique_ptr<T>> live_;
};

}  // namespace sim

namespace sim {

// Handles the host lends without handing over (a receipt's world, the world
// passed to an asynchronous completion): valid only while registered here.
class LentSet {
 public:
  void lend(const void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    ++live_[p];
  }
  void take_back(const void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(p);
    if (it != live_.end() && --it->second == 0) live_.erase(it);
  }
  bool contains(const void* p) const {
    std::lock_guard<std::mutex> lock(mu_);
    return live_.count(p) != 0;
  }

 private:
  mutable std::mutex mu_;
  std::unordered_map<const void*, int> live_;
};

}  // namespace sim
