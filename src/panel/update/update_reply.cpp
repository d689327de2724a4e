#include "panel/update/update_reply.h"

#include <array>
#include <nlohmann/json.hpp>

#include "panel/update/update_text.h"
#include "panel/update/update_version.h"

namespace vel {
namespace {

using nlohmann::json;

enum class Field { ok, version, latest, update_available, url, download_url, package_url };
constexpr size_t kFieldCount = 7;

std::optional<Field> field_named(std::string_view key) {
  static constexpr std::array<std::pair<std::string_view, Field>, kFieldCount> kNames = {{
      {"ok", Field::ok},
      {"version", Field::version},
      {"latest", Field::latest},
      {"update_available", Field::update_available},
      {"url", Field::url},
      {"download_url", Field::download_url},
      {"package_url", Field::package_url},
  }};
  for (const auto& [name, field] : kNames) {
    if (name == key) return field;
  }
  return std::nullopt;
}

bool is_text_field(Field f) { return f != Field::ok && f != Field::update_available; }

// The record through the SAX interface: the DOM parser keeps the last of two
// equal keys without a word, and a repeated field must fail the record.
class RawReplyReader final : public nlohmann::json_sax<json> {
 public:
  RawUpdateReply raw;

  bool null() override { return scalar([](Field) { return true; }); }
  bool boolean(bool v) override {
    return scalar([&](Field f) {
      if (is_text_field(f)) return false;
      (f == Field::ok ? raw.ok : raw.update_available) = v;
      return true;
    });
  }
  bool number_integer(number_integer_t) override { return other_scalar(); }
  bool number_unsigned(number_unsigned_t) override { return other_scalar(); }
  bool number_float(number_float_t, const string_t&) override { return other_scalar(); }
  bool binary(binary_t&) override { return other_scalar(); }
  bool string(string_t& v) override {
    return scalar([&](Field f) {
      if (!is_text_field(f)) return false;
      text_slot(f) = std::move(v);
      return true;
    });
  }
  bool start_object(std::size_t) override { return open(); }
  bool start_array(std::size_t) override { return depth_ > 0 && open(); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (depth_ != 1) return true;
    pending_ = field_named(k);
    if (!pending_) return true;
    const size_t i = static_cast<size_t>(*pending_);
    if (seen_[i]) return false;
    seen_[i] = true;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  std::optional<std::string>& text_slot(Field f) {
    switch (f) {
      case Field::version: return raw.version;
      case Field::latest: return raw.latest;
      case Field::url: return raw.url;
      case Field::download_url: return raw.download_url;
      default: return raw.package_url;
    }
  }

  // A value of the top-level object goes to its field, when it names one.
  template <class Assign>
  bool scalar(Assign assign) {
    if (depth_ == 0) return false;  // the reply is not an object
    if (depth_ > 1 || !pending_) return true;
    const Field f = *pending_;
    pending_.reset();
    return assign(f);
  }
  bool other_scalar() {
    return scalar([](Field) { return false; });
  }
  bool open() {
    if (depth_ == 1 && pending_) return false;  // a field holding an object or array
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  size_t depth_ = 0;
  std::optional<Field> pending_;
  std::array<bool, kFieldCount> seen_{};
};

bool is_showable_version(std::string_view v) {
  return !v.empty() && v.size() <= kMaxUpdateVersionBytes && !holds_control(v);
}

std::optional<UpdateOffer> offer_from_record(const RawUpdateReply& raw, std::string_view default_link) {
  if (raw.ok == false) return std::nullopt;
  const std::optional<std::string>& chosen = raw.version ? raw.version : raw.latest;
  if (!chosen) return std::nullopt;
  UpdateOffer offer;
  offer.version = normalize_version(*chosen);
  if (!is_showable_version(offer.version)) return std::nullopt;
  // A refused candidate is not replaced by a later one in the order.
  const std::optional<std::string>& candidate =
      raw.download_url ? raw.download_url : (raw.package_url ? raw.package_url : raw.url);
  offer.link = candidate && is_acceptable_update_link(*candidate) ? *candidate : std::string(default_link);
  offer.available = raw.update_available;
  return offer;
}

std::optional<UpdateOffer> offer_from_plain_text(std::string_view text, std::string_view default_link) {
  std::string_view line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  line = trim_unicode_space(line);
  if (!is_version_token(line) || !parse_version(line)) return std::nullopt;
  UpdateOffer offer{normalize_version(line), std::string(default_link), std::nullopt};
  if (!is_showable_version(offer.version)) return std::nullopt;
  return offer;
}

}  // namespace

std::optional<RawUpdateReply> read_raw_update_reply(std::string_view text) {
  RawReplyReader reader;
  try {
    if (!json::sax_parse(text, &reader, json::input_format_t::json, /*strict=*/true)) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return std::move(reader.raw);
}

bool is_acceptable_update_link(std::string_view link) {
  constexpr std::string_view kScheme = "https://";
  return link.size() > kScheme.size() && link.size() <= kMaxUpdateLinkBytes && link.substr(0, kScheme.size()) == kScheme &&
         !holds_space_or_control(link);
}

std::optional<UpdateOffer> deserialize_update_reply(std::string_view reply, std::string_view default_link) {
  const std::string_view text = trim_unicode_space(reply);
  if (text.empty()) return std::nullopt;
  if (std::optional<RawUpdateReply> raw = read_raw_update_reply(text)) return offer_from_record(*raw, default_link);
  return offer_from_plain_text(text, default_link);
}

std::optional<UpdateNotice> parse_update_reply(std::string_view reply, std::string_view current,
                                               std::string_view default_link) {
  std::optional<UpdateOffer> offer = deserialize_update_reply(reply, default_link);
  if (!offer || offer->available == false) return std::nullopt;
  if (offer->available != true) {
    const std::optional<VersionParts> offered = parse_version(offer->version);
    const std::optional<VersionParts> running = parse_version(current);
    if (!offered || !running || !(*offered > *running)) return std::nullopt;
  }
  return UpdateNotice{std::move(offer->version), std::move(offer->link)};
}

}  // namespace vel
