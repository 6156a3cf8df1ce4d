#include "tools/observation_lines.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/errors.hpp"
#include "core/strict_json.hpp"

namespace tavrin_tool {

namespace {

using tavrin_inference::InvalidArgumentError;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::Value;

using Json = nlohmann::json;

// More fields than this in one object are refused: inserting into a map is linear in its size.
constexpr std::size_t kMaxObjectFields = 1024;

const char* json_kind(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::none: return "null";
    case Value::Kind::boolean: return "a boolean";
    case Value::Kind::integer:
    case Value::Kind::floating: return "a number";
    case Value::Kind::text: return "text";
    case Value::Kind::list: return "an array";
    case Value::Kind::map: return "an object";
    default: return v.kind_name();
  }
}

// Builds the line's value directly from the parser's events, refusing what a plain parse would
// accept silently (a field given twice keeps one of its values) or what could exhaust the stack.
class ValueBuilder {
 public:
  explicit ValueBuilder(std::string_view text) : text_(text) {}

  // Reads `text_`; false with error() when it is not a document this builder accepts.
  bool build() {
    try {
      return Json::sax_parse(text_.begin(), text_.end(), this);
    } catch (const tavrin_core::DuplicateJsonKey& d) {
      return fail(tavrin_core::json_at(d.path, tavrin_core::json_duplicate_field(d.key)));
    } catch (const tavrin_core::JsonTooDeep&) {
      return fail(tavrin_core::json_too_deep("arrays and objects", kMaxObservationDepth));
    }
  }

  bool null() { return scalar(Value()); }
  bool boolean(bool b) { return scalar(Value(b)); }
  bool number_integer(Json::number_integer_t i) { return scalar(Value(static_cast<std::int64_t>(i))); }
  bool number_unsigned(Json::number_unsigned_t u) {
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return scalar(Value(static_cast<double>(u)));
    return scalar(Value(static_cast<std::int64_t>(u)));
  }
  bool number_float(Json::number_float_t d, const Json::string_t& literal) {
    if (!std::isfinite(d)) return fail("number out of range: " + literal);
    return scalar(Value(static_cast<double>(d)));
  }
  bool string(Json::string_t& s) { return scalar(Value(std::move(s))); }
  bool binary(Json::binary_t&) { return fail("binary values are not supported"); }

  bool start_object(std::size_t) { return push(true, Value(Map{})); }
  bool key(Json::string_t& k) {
    nesting_.key(std::move(k));
    if (nesting_.fields() > kMaxObjectFields)
      return fail(tavrin_core::json_at(nesting_.path(),
                                       "more than " + std::to_string(kMaxObjectFields) + " fields in one object"));
    return true;
  }
  bool end_object() { return pop(); }
  bool start_array(std::size_t) { return push(false, Value::list()); }
  bool end_array() { return pop(); }

  bool parse_error(std::size_t position, const std::string& /*last_token*/, const nlohmann::detail::exception& ex) {
    error_ = "malformed JSON at column " + std::to_string(tavrin_core::json_line_column(text_, position).second) +
             ": " + tavrin_core::json_parser_message(ex.what());
    return false;
  }

  const std::string& error() const { return error_; }
  Value take() { return std::move(root_).value_or(Value()); }

 private:
  bool scalar(Value v) {
    nesting_.value();
    return add(std::move(v));
  }
  bool add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return true;
    }
    Value& top = stack_.back();
    if (top.is_map()) {
      top.as_map().set(nesting_.last_key(), std::move(v));
    } else {
      top.as_list().items.push_back(std::move(v));
    }
    return true;
  }
  bool push(bool object, Value container) {
    nesting_.open(object);
    stack_.push_back(std::move(container));
    return true;
  }
  bool pop() {
    nesting_.close();
    Value done = std::move(stack_.back());
    stack_.pop_back();
    return add(std::move(done));
  }
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  std::string_view text_;
  tavrin_core::StrictKeyTracker nesting_{kMaxObservationDepth};
  std::vector<Value> stack_;
  std::optional<Value> root_;
  std::string error_;
};

// Whether every leaf of `v` is a number or a boolean; on failure `path` receives where the first
// offending leaf sits (relative to `v`) and `bad` that leaf.
bool numeric_tree(const Value& v, std::string& path, const Value*& bad) {
  if (v.is_number()) return true;
  if (v.is_list()) {
    const auto& items = v.as_list().items;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (!numeric_tree(items[i], path, bad)) {
        std::string segment(1, '[');
        segment.append(std::to_string(i)).push_back(']');
        path.insert(0, segment);
        return false;
      }
    }
    return true;
  }
  if (v.is_map()) {
    for (const auto& [key, item] : v.as_map()) {
      if (!numeric_tree(item, path, bad)) {
        std::string segment(1, '.');
        segment.append(key);
        path.insert(0, segment);
        return false;
      }
    }
    return true;
  }
  bad = &v;
  return false;
}

[[noreturn]] void fail(std::size_t line_number, const std::string& message) {
  throw InvalidArgumentError("line " + std::to_string(line_number) + ": " + message);
}

// That every leaf of `v` is a number; the error names `sensor`, or else the envelope `field`.
void check_numeric(const Value& v, const std::string* sensor, const char* field, std::size_t line_number) {
  std::string path;
  const Value* bad = nullptr;
  if (numeric_tree(v, path, bad)) return;
  const std::string what = sensor ? "sensor '" + *sensor + "'" : std::string(field);
  std::string got = json_kind(*bad);
  if (bad->is_text()) got += " \"" + bad->as_text().substr(0, 40) + (bad->as_text().size() > 40 ? "...\"" : "\"");
  fail(line_number, what + path + ": expected a number, got " + got);
}

std::string_view trimmed(std::string_view line) {
  if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && blank(line.back())) line.remove_suffix(1);
  return line;
}

}  // namespace

ObservationLine parse_observation_line(std::string_view line, std::size_t line_number) {
  const std::string_view text = trimmed(line);
  if (text.empty())
    fail(line_number, "empty line (expected a JSON object of sensor name -> value, or {\"obs\": ..., \"mask\": ...})");

  ValueBuilder builder(text);
  if (!builder.build()) fail(line_number, builder.error());
  Value root = builder.take();
  if (!root.is_map()) {
    fail(line_number,
         std::string("expected a JSON object of sensor name -> value, or {\"obs\": ..., \"mask\": ...}, got ") +
             json_kind(root));
  }

  ObservationLine result;
  result.line_number = line_number;
  Map& fields = root.as_map();
  if (Value* obs = fields.find("obs")) {
    for (const auto& [key, value] : fields) {
      if (key != "obs" && key != "mask" && key != "previous_action")
        fail(line_number,
             tavrin_core::json_unknown_field(
                 key, "next to \"obs\" (such a line holds only \"obs\", \"mask\" and \"previous_action\")"));
    }
    if (!obs->is_map())
      fail(line_number, std::string("\"obs\" must be an object of sensor name -> value, got ") + json_kind(*obs));
    result.obs = std::move(*obs);
    if (Value* mask = fields.find("mask")) {
      if (!mask->is_none() && !mask->is_list() && !mask->is_map())
        fail(line_number,
             std::string("\"mask\" must be an array or an object of numbers, or null, got ") + json_kind(*mask));
      result.mask = std::move(*mask);
    }
    if (Value* previous = fields.find("previous_action")) result.previous_action = std::move(*previous);
  } else if (fields.contains("mask") || fields.contains("previous_action")) {
    fail(line_number, std::string(fields.contains("mask") ? "\"mask\"" : "\"previous_action\"") +
                          " without \"obs\" (write {\"obs\": {sensor: value, ...}, \"mask\": [...]})");
  } else {
    result.obs = std::move(root);
  }

  for (const auto& [name, value] : result.obs.as_map()) check_numeric(value, &name, nullptr, line_number);
  if (!result.mask.is_none()) check_numeric(result.mask, nullptr, "mask", line_number);
  if (!result.previous_action.is_none()) check_numeric(result.previous_action, nullptr, "previous_action", line_number);
  return result;
}

std::string format_action_line(const Value& action) {
  return action.to_json().dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace tavrin_tool
