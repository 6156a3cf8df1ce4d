#include "core/strict_json.hpp"

#include <algorithm>

#include "common/errors.hpp"

namespace tavrin_core {

using tavrin_inference::InvalidArgumentError;

std::pair<std::size_t, std::size_t> json_line_column(std::string_view text, std::size_t byte) {
  const std::size_t pos = std::min(byte == 0 ? 0 : byte - 1, text.size());
  std::size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" && pos >= 3 ? 3 : 0;
  std::size_t line = 1;
  std::size_t column = 1;
  for (; i < pos; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return {line, column};
}

std::string json_parser_message(std::string_view what) {
  if (what.substr(0, 16) == "[json.exception.") {
    const auto close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  const auto p = what.find("parse error");
  if (p != std::string_view::npos) {
    const auto colon = what.find(": ", p);
    if (colon != std::string_view::npos) return std::string(what.substr(colon + 2));
  }
  return std::string(what);
}

std::string json_field_path(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string json_item_path(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::string json_at(const std::string& path, const std::string& message) {
  return path.empty() ? message : path + ": " + message;
}

std::string json_duplicate_field(std::string_view key) { return "duplicate field '" + std::string(key) + "'"; }

std::string json_too_deep(std::string_view containers, std::size_t max_depth) {
  return std::string(containers) + " nested deeper than " + std::to_string(max_depth) + " levels";
}

std::string json_unknown_field(std::string_view key, std::string_view context) {
  return "unknown field '" + std::string(key) + "' " + std::string(context);
}

bool json_known_key(std::string_view key, std::span<const std::string_view> known) {
  return std::find(known.begin(), known.end(), key) != known.end();
}

std::string json_key_list(std::span<const std::string_view> known) {
  std::string list;
  for (auto k : known) list.append(list.empty() ? "" : ", ").append(k);
  return list;
}

bool StrictKeyTracker::operator()(int /*depth*/, nlohmann::ordered_json::parse_event_t event,
                                  nlohmann::ordered_json& parsed) {
  using Event = nlohmann::ordered_json::parse_event_t;
  switch (event) {
    case Event::object_start: open(true); break;
    case Event::array_start: open(false); break;
    case Event::object_end:
    case Event::array_end: close(); break;
    case Event::key: key(parsed.get<std::string>()); break;
    case Event::value: value(); break;
  }
  return true;
}

void StrictKeyTracker::open(bool object) {
  if (frames_.size() >= max_depth_) throw JsonTooDeep{path()};
  value();
  frames_.push_back(Frame{object, {}, 0});
}

void StrictKeyTracker::key(std::string key) {
  Frame& f = frames_.back();
  for (const auto& k : f.keys) {
    if (k == key) throw DuplicateJsonKey{path(), std::move(key)};
  }
  f.keys.push_back(std::move(key));
}

std::string StrictKeyTracker::path() const {
  std::string result;
  for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
    const Frame& f = frames_[i];
    result = f.object ? json_field_path(result, f.keys.back()) : json_item_path(result, f.items - 1);
  }
  return result;
}

const char* json_kind(const nlohmann::ordered_json& j) {
  switch (j.type()) {
    case nlohmann::ordered_json::value_t::null: return "null";
    case nlohmann::ordered_json::value_t::boolean: return "a boolean";
    case nlohmann::ordered_json::value_t::number_integer:
    case nlohmann::ordered_json::value_t::number_unsigned: return "an integer";
    case nlohmann::ordered_json::value_t::number_float: return "a number";
    case nlohmann::ordered_json::value_t::string: return "text";
    case nlohmann::ordered_json::value_t::array: return "a list";
    case nlohmann::ordered_json::value_t::object: return "an object";
    default: return "an unsupported value";
  }
}

void StrictJsonReader::fail(const std::string& path, const std::string& message) const {
  throw InvalidArgumentError(origin_ + ": " + json_at(path, message));
}

StrictJsonReader::Json StrictJsonReader::parse(const std::string& text, std::size_t max_depth) const {
  StrictKeyTracker tracker(max_depth);
  try {
    return Json::parse(
        text, [&tracker](int depth, Json::parse_event_t event, Json& parsed) { return tracker(depth, event, parsed); });
  } catch (const Json::parse_error& e) {
    const auto [line, column] = json_line_column(text, e.byte);
    throw InvalidArgumentError(origin_ + ": malformed JSON at line " + std::to_string(line) + ", column " +
                               std::to_string(column) + ": " + json_parser_message(e.what()));
  } catch (const Json::out_of_range& e) {
    // A number beyond the range of a double ("1e999"): refused like any other malformed text.
    throw InvalidArgumentError(origin_ + ": malformed JSON: " + json_parser_message(e.what()));
  } catch (const DuplicateJsonKey& d) {
    fail(d.path, json_duplicate_field(d.key));
  } catch (const JsonTooDeep& d) {
    fail(d.path, json_too_deep("lists and objects", max_depth));
  }
}

const StrictJsonReader::Json* StrictJsonReader::find(const Json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

void StrictJsonReader::only_fields(const Json& object, const std::string& path, const char* what,
                                   std::initializer_list<std::string_view> known) const {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (json_known_key(it.key(), known)) continue;
    fail(json_field_path(path, it.key()),
         json_unknown_field(it.key(), "in " + std::string(what) + " (known fields: " + json_key_list(known) + ")"));
  }
}

const StrictJsonReader::Json& StrictJsonReader::object_of(const Json& j, const std::string& path) const {
  if (!j.is_object()) fail(path, std::string("expected an object, got ") + json_kind(j));
  return j;
}
const StrictJsonReader::Json& StrictJsonReader::list_of(const Json& j, const std::string& path) const {
  if (!j.is_array()) fail(path, std::string("expected a list, got ") + json_kind(j));
  return j;
}
std::string StrictJsonReader::text(const Json& j, const std::string& path) const {
  if (!j.is_string()) fail(path, std::string("expected text, got ") + json_kind(j));
  return j.get<std::string>();
}
bool StrictJsonReader::boolean(const Json& j, const std::string& path) const {
  if (!j.is_boolean()) fail(path, std::string("expected true or false, got ") + json_kind(j));
  return j.get<bool>();
}
double StrictJsonReader::number(const Json& j, const std::string& path) const {
  if (!j.is_number()) fail(path, std::string("expected a number, got ") + json_kind(j));
  return j.get<double>();
}

std::string StrictJsonReader::text_field(const Json& object, std::string_view key, const std::string& path,
                                         bool required, const std::string& hint) const {
  const Json* j = find(object, key);
  if (j == nullptr) {
    if (required) fail(json_field_path(path, key), "missing required field" + hint);
    return {};
  }
  return text(*j, json_field_path(path, key));
}

}  // namespace tavrin_core
