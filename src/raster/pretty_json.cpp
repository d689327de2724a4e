#include "raster/pretty_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "host/utf_text.h"

namespace vel {

void PrettyJson::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) return;
  Level& l = stack_.back();
  out_ += l.count++ ? ",\n" : "\n";
  out_.append(stack_.size() * 2, ' ');
}

void PrettyJson::open(char c, bool array) {
  before_value();
  out_ += c;
  stack_.push_back({array, 0});
}

void PrettyJson::close(char c) {
  const bool empty = stack_.back().count == 0;
  stack_.pop_back();
  if (!empty) {
    out_ += '\n';
    out_.append(stack_.size() * 2, ' ');
  }
  out_ += c;
}

void PrettyJson::begin_object() { open('{', false); }
void PrettyJson::end_object() { close('}'); }
void PrettyJson::begin_array() { open('[', true); }
void PrettyJson::end_array() { close(']'); }

void PrettyJson::key(std::string_view k) {
  string(k);
  out_ += ": ";
  after_key_ = true;
}

void PrettyJson::string(std::string_view s) {
  before_value();
  if (!utf8_to_utf16(s)) valid_ = false;
  out_ += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\b': out_ += "\\b"; break;
      case '\f': out_ += "\\f"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out_ += buf;
        } else {
          out_ += static_cast<char>(c);
        }
    }
  }
  out_ += '"';
}

void PrettyJson::raw_number(std::string s) {
  before_value();
  out_ += s;
}

void PrettyJson::unsigned_int(uint64_t v) { raw_number(std::to_string(v)); }

namespace {
template <class F>
std::string real_text(F v) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, res.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}
}  // namespace

void PrettyJson::real(double v) { raw_number(real_text(v)); }
void PrettyJson::real(float v) { raw_number(real_text(v)); }
void PrettyJson::boolean(bool v) { raw_number(v ? "true" : "false"); }
void PrettyJson::null() { raw_number("null"); }

}  // namespace vel
