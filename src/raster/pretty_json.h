// A small JSON writer in the pretty form: two-space indentation, one member
// or element per line, ": " after keys, [] and {} when empty. Members come
// out in the order they are written, which is the point: documents whose
// key order is part of their contract.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

class PrettyJson {
 public:
  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // The key of the next member of the open object.
  void key(std::string_view k);

  void string(std::string_view s);
  void unsigned_int(uint64_t v);
  // Shortest round trip with ".0" on whole values; non-finite as null.
  void real(double v);
  // The same for a single-precision value: the float's own shortest text.
  void real(float v);
  void boolean(bool v);
  void null();
  // A member: its key, then its value.
  void string(std::string_view k, std::string_view s) { key(k), string(s); }
  void unsigned_int(std::string_view k, uint64_t v) { key(k), unsigned_int(v); }
  void real(std::string_view k, double v) { key(k), real(v); }
  void boolean(std::string_view k, bool v) { key(k), boolean(v); }

  // The document; false when a string held bytes that are not UTF-8.
  bool valid() const { return valid_; }
  const std::string& text() const { return out_; }

 private:
  struct Level {
    bool array;
    size_t count;
  };
  void before_value();
  void open(char c, bool array);
  void close(char c);
  void raw_number(std::string s);

  std::string out_;
  std::vector<Level> stack_;
  bool after_key_ = false;
  bool valid_ = true;
};

}  // namespace vel
