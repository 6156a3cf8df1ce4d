// Strict reading of JSON text shared by every reader of user-written JSON (orchestration files,
// observation lines, configuration files): error positions in lines and characters, the parser's
// explanation without its byte offsets, a key given twice in one object, a nesting limit and the
// field paths those errors name.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrin_core {

// Line and column (both from 1; columns count UTF-8 characters, a leading byte order mark is no
// column) of the character at `byte`, the 1-based position the parser reports. Past the end: just
// after the last character.
std::pair<std::size_t, std::size_t> json_line_column(std::string_view text, std::size_t byte);

// The parser's own explanation, without its exception tag, its prefix and its byte position.
std::string json_parser_message(std::string_view what);

// "a.b" for a field of an object at `path`, "a[3]" for an item of a list.
std::string json_field_path(const std::string& path, std::string_view key);
std::string json_item_path(const std::string& path, std::size_t index);

// Thrown by StrictKeyTracker while parsing.
struct DuplicateJsonKey {
  std::string path;
  std::string key;
};
struct JsonTooDeep {
  std::string path;
};

// The texts of the strict checks, so that every reader words them alike. json_at puts the path of
// the value concerned in front ("a.b: ..."), nothing at the top level; `containers` names what
// nests in the reader's own words ("lists and objects"); `context` follows the key of an unknown
// field ("in an agent (known fields: ...)").
std::string json_at(const std::string& path, const std::string& message);
std::string json_duplicate_field(std::string_view key);
std::string json_too_deep(std::string_view containers, std::size_t max_depth);
std::string json_unknown_field(std::string_view key, std::string_view context);
// Whether `key` is one of `known`, and `known` as "a, b, c" for the message refusing it.
bool json_known_key(std::string_view key, std::span<const std::string_view> known);
std::string json_key_list(std::span<const std::string_view> known);

// Follows a parser through a document so that a key given twice in one object is reported, where
// the parser itself would silently keep the last value, and so that recursive code reading the
// result never meets more than `max_depth` nested lists and objects. Fed either as the parser's
// callback or, by a streaming reader, event by event; throws DuplicateJsonKey and JsonTooDeep.
class StrictKeyTracker {
 public:
  explicit StrictKeyTracker(std::size_t max_depth) : max_depth_(max_depth) {}
  bool operator()(int depth, nlohmann::ordered_json::parse_event_t event, nlohmann::ordered_json& parsed);

  // A list or object starts (as the next value of the one open around it) or ends.
  void open(bool object);
  void close() { frames_.pop_back(); }
  // The next field of the innermost object.
  void key(std::string key);
  // A value that is neither list nor object.
  void value() {
    if (!frames_.empty() && !frames_.back().object) ++frames_.back().items;
  }

  // The path of the innermost open list or object ("" at the top level) and how many fields that
  // object has so far.
  std::string path() const;
  std::size_t fields() const { return frames_.back().keys.size(); }
  // The field of the innermost object whose value is being read.
  const std::string& last_key() const { return frames_.back().keys.back(); }

 private:
  struct Frame {
    bool object;
    std::vector<std::string> keys;  // of an object, in order: the last is the one being read
    std::size_t items = 0;          // of a list, read or being read
  };
  std::size_t max_depth_;
  std::vector<Frame> frames_;
};

// What a value is, for messages: "a list", "text", "an integer" ...
const char* json_kind(const nlohmann::ordered_json& j);

// Base of a reader of one JSON document: parses it strictly and reads its fields, reporting each
// fault as InvalidArgumentError "<origin>: <field path>: <what is wrong>".
class StrictJsonReader {
 public:
  using Json = nlohmann::ordered_json;
  explicit StrictJsonReader(std::string origin) : origin_(std::move(origin)) {}

 protected:
  [[noreturn]] void fail(const std::string& path, const std::string& message) const;
  // The document, with lists and objects nested at most `max_depth` deep.
  Json parse(const std::string& text, std::size_t max_depth) const;

  static const Json* find(const Json& object, std::string_view key);
  // Refuses the first field of `object` not in `known`; `what` names the object in the message.
  void only_fields(const Json& object, const std::string& path, const char* what,
                   std::initializer_list<std::string_view> known) const;

  const Json& object_of(const Json& j, const std::string& path) const;
  const Json& list_of(const Json& j, const std::string& path) const;
  std::string text(const Json& j, const std::string& path) const;
  bool boolean(const Json& j, const std::string& path) const;
  double number(const Json& j, const std::string& path) const;
  // The text field `key`; empty when it is absent and not required.
  std::string text_field(const Json& object, std::string_view key, const std::string& path, bool required,
                         const std::string& hint = "") const;

  std::string origin_;
};

}  // namespace tavrin_core
