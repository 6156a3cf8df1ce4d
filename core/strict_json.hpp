// Strict reading of JSON text shared by every reader of user-written JSON (orchestration files,
// observation lines, configuration files): error positions in lines and characters, the parser's
// explanation without its byte offsets, a key given twice in one object, a nesting limit and the
// field paths those errors name.
#pragma once

#include <cstddef>
#include <initializer_list>
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

// Follows the parser through a document (as its parser callback) so that a key given twice in one
// object is reported, where the parser itself would silently keep the last value, and so that
// recursive code reading the result never meets more than `max_depth` nested lists and objects.
class StrictKeyTracker {
 public:
  explicit StrictKeyTracker(std::size_t max_depth) : max_depth_(max_depth) {}
  bool operator()(int depth, nlohmann::ordered_json::parse_event_t event, nlohmann::ordered_json& parsed);

 private:
  struct Frame {
    bool object;
    std::string path;
    std::vector<std::string> keys;
    std::string current_key;
    std::size_t next_index = 0;
  };
  void push(bool object);
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
