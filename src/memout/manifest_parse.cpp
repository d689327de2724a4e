// Manifest parsing through the JSON library's event interface rather than its
// document type: the document type keeps the last of a repeated key without a
// word, and a manifest comes from another process, so every key is counted as
// it arrives and every value is checked against its field's exact type.
#include <limits>
#include <nlohmann/json.hpp>

#include "memout/manifest.h"

namespace vel {

namespace {

using json = nlohmann::json;

enum class FieldType { U8, Token, Text, U64, I64, U32, Mode };

struct FieldInfo {
  const char* name;
  FieldType type;
};

constexpr int kFieldCount = 12;
constexpr FieldInfo kFields[kFieldCount] = {
    {"version", FieldType::U8},       {"token", FieldType::Token},  {"mapping_name", FieldType::Text},
    {"output_path", FieldType::Text}, {"capacity", FieldType::U64}, {"range_start", FieldType::I64},
    {"range_end", FieldType::I64},    {"step", FieldType::I64},     {"key_scale", FieldType::U32},
    {"width", FieldType::U32},        {"height", FieldType::U32},   {"mode", FieldType::Mode},
};

const char* expectation(FieldType t) {
  switch (t) {
    case FieldType::U8:
      return "u8";
    case FieldType::Token:
      return "an array of length 16";
    case FieldType::Text:
      return "a string";
    case FieldType::U64:
      return "u64";
    case FieldType::I64:
      return "i64";
    case FieldType::U32:
      return "u32";
    case FieldType::Mode:
      return "`memory` or `null`";
  }
  return "";
}

std::string shown_text(const std::string& s) {
  std::string shown = s.size() > 64 ? s.substr(0, 64) + "..." : s;
  return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
}

// One JSON value as the handler sees it, before it knows the field's type.
struct Value {
  enum Kind { Unsigned, Signed, Float, Text, Bool, Null, Sequence, Map } kind;
  uint64_t u = 0;
  int64_t i = 0;
  std::string text;  // the literal for floats and booleans, the string itself
};

std::string describe(const Value& v) {
  switch (v.kind) {
    case Value::Unsigned:
      return "integer `" + std::to_string(v.u) + "`";
    case Value::Signed:
      return "integer `" + std::to_string(v.i) + "`";
    case Value::Float:
      return "floating point `" + v.text + "`";
    case Value::Text:
      return "string " + shown_text(v.text);
    case Value::Bool:
      return "boolean `" + v.text + "`";
    case Value::Null:
      return "null";
    case Value::Sequence:
      return "sequence";
    case Value::Map:
      return "map";
  }
  return "value";
}

class ManifestHandler {
 public:
  Manifest manifest;
  std::string error;

  bool null() { return value(Value{Value::Null}); }
  bool boolean(bool b) { return value(Value{Value::Bool, 0, 0, b ? "true" : "false"}); }
  bool number_integer(json::number_integer_t v) { return value(Value{Value::Signed, 0, v, {}}); }
  bool number_unsigned(json::number_unsigned_t v) { return value(Value{Value::Unsigned, v, 0, {}}); }
  bool number_float(json::number_float_t, const json::string_t& literal) {
    return value(Value{Value::Float, 0, 0, literal});
  }
  bool string(json::string_t& s) { return value(Value{Value::Text, 0, 0, std::move(s)}); }
  bool binary(json::binary_t&) { return fail("invalid type: binary value"); }
  bool start_object(std::size_t) {
    if (depth_ == 0) {
      form_ = Form::Object;
      depth_ = 1;
      return true;
    }
    return value(Value{Value::Map});
  }
  bool key(json::string_t& k) {
    // Keys only arrive at depth 1 of the object form: deeper maps are refused
    // when they start.
    for (int f = 0; f < kFieldCount; ++f) {
      if (k == kFields[f].name) {
        if (seen_ & (1u << f)) return fail("duplicate field `" + k + "`");
        seen_ |= 1u << f;
        current_ = f;
        return true;
      }
    }
    std::string text = "unknown field " + shown_text(k) + ", expected one of ";
    for (int f = 0; f < kFieldCount; ++f) text += std::string(f ? ", `" : "`") + kFields[f].name + "`";
    return fail(text);
  }
  bool end_object() {
    depth_ = 0;
    done_ = true;
    return true;
  }
  bool start_array(std::size_t) {
    if (depth_ == 0) {
      form_ = Form::Array;
      depth_ = 1;
      return true;
    }
    return value(Value{Value::Sequence});
  }
  bool end_array() {
    if (in_token_) {
      in_token_ = false;
      depth_ = 1;
      if (token_count_ != 16) {
        return fail("invalid length " + std::to_string(token_count_) + ", expected an array of length 16");
      }
      return true;
    }
    depth_ = 0;
    done_ = true;
    if (next_index_ < kFieldCount) {
      return fail("invalid length " + std::to_string(next_index_) + ", expected struct Manifest with 12 elements");
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    return fail(std::string("output manifest is not valid JSON: ") + ex.what());
  }

  // After a parse that raised no error: the object form's missing keys.
  bool finish() {
    if (!done_) return fail("output manifest is not a JSON object");
    if (form_ == Form::Object) {
      for (int f = 0; f < kFieldCount; ++f) {
        if (!(seen_ & (1u << f))) return fail(std::string("missing field `") + kFields[f].name + "`");
      }
    }
    return true;
  }

 private:
  enum class Form { None, Object, Array };

  bool fail(std::string text) {
    if (error.empty()) error = std::move(text);
    return false;
  }

  bool value(const Value& v) {
    if (depth_ == 0) return fail("invalid type: " + describe(v) + ", expected struct Manifest");
    if (in_token_) return token_byte(v);
    int field = current_;
    if (form_ == Form::Array) {
      if (next_index_ >= kFieldCount) return fail("invalid length, expected struct Manifest with 12 elements");
      field = next_index_++;
    }
    return assign(field, v);
  }

  bool token_byte(const Value& v) {
    if (v.kind != Value::Unsigned || v.u > 255) {
      return fail("invalid value: " + describe(v) + ", expected u8 in `token`");
    }
    if (token_count_ < 16) manifest.token[token_count_] = static_cast<uint8_t>(v.u);
    ++token_count_;
    return true;
  }

  bool wrong(int field, const Value& v) {
    const FieldType t = kFields[field].type;
    const bool numeric_field = t == FieldType::U8 || t == FieldType::U32 || t == FieldType::U64 || t == FieldType::I64;
    const bool type_error = !numeric_field || (v.kind != Value::Unsigned && v.kind != Value::Signed);
    return fail(std::string(type_error ? "invalid type: " : "invalid value: ") + describe(v) + ", expected " +
                expectation(kFields[field].type) + " for `" + kFields[field].name + "`");
  }

  bool assign(int field, const Value& v) {
    Manifest& m = manifest;
    const FieldType type = kFields[field].type;
    switch (type) {
      case FieldType::Token:
        if (v.kind != Value::Sequence) return wrong(field, v);
        in_token_ = true;
        token_count_ = 0;
        depth_ = 2;
        return true;
      case FieldType::Text:
        if (v.kind != Value::Text) return wrong(field, v);
        (field == 2 ? m.mapping_name : m.output_path) = v.text;
        return true;
      case FieldType::Mode:
        if (v.kind != Value::Text) return wrong(field, v);
        if (v.text == "memory") {
          m.mode = ManifestMode::Memory;
        } else if (v.text == "null") {
          m.mode = ManifestMode::Null;
        } else {
          return fail("unknown variant " + shown_text(v.text) + ", expected `memory` or `null`");
        }
        return true;
      case FieldType::I64:
        if (v.kind == Value::Signed) return set_i64(field, v.i);
        if (v.kind == Value::Unsigned && v.u <= uint64_t{std::numeric_limits<int64_t>::max()}) {
          return set_i64(field, static_cast<int64_t>(v.u));
        }
        return wrong(field, v);
      case FieldType::U8:
      case FieldType::U32:
      case FieldType::U64: {
        const uint64_t limit = type == FieldType::U8 ? 0xFF : type == FieldType::U32 ? 0xFFFFFFFF : UINT64_MAX;
        if (v.kind != Value::Unsigned || v.u > limit) return wrong(field, v);
        if (field == 0) m.version = static_cast<uint8_t>(v.u);
        if (field == 4) m.capacity = v.u;
        if (field == 8) m.key_scale = static_cast<uint32_t>(v.u);
        if (field == 9) m.width = static_cast<uint32_t>(v.u);
        if (field == 10) m.height = static_cast<uint32_t>(v.u);
        return true;
      }
    }
    return wrong(field, v);
  }

  bool set_i64(int field, int64_t x) {
    (field == 5 ? manifest.range_start : field == 6 ? manifest.range_end : manifest.step) = x;
    return true;
  }

  Form form_ = Form::None;
  int depth_ = 0;
  bool done_ = false;
  uint32_t seen_ = 0;
  int current_ = -1;
  int next_index_ = 0;
  bool in_token_ = false;
  size_t token_count_ = 0;
};

}  // namespace

MemoutResult<Manifest> parse_manifest(std::string_view text) {
  ManifestHandler handler;
  bool parsed = false;
  try {
    parsed = json::sax_parse(text.begin(), text.end(), &handler, json::input_format_t::json, true, false);
  } catch (const std::exception& e) {
    if (handler.error.empty()) handler.error = std::string("output manifest is not valid JSON: ") + e.what();
  }
  if (parsed && handler.error.empty()) parsed = handler.finish();
  if (!parsed || !handler.error.empty()) {
    return memout_invalid(handler.error.empty() ? "output manifest is not valid JSON" : handler.error);
  }
  return std::move(handler.manifest);
}

}  // namespace vel
