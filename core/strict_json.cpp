#include "core/strict_json.hpp"

#include <algorithm>

namespace tavrin_core {

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

bool StrictKeyTracker::operator()(int /*depth*/, nlohmann::ordered_json::parse_event_t event,
                                  nlohmann::ordered_json& parsed) {
  using Event = nlohmann::ordered_json::parse_event_t;
  switch (event) {
    case Event::object_start: push(true); break;
    case Event::array_start: push(false); break;
    case Event::object_end:
    case Event::array_end: frames_.pop_back(); break;
    case Event::key: {
      Frame& f = frames_.back();
      std::string key = parsed.get<std::string>();
      for (const auto& k : f.keys) {
        if (k == key) throw DuplicateJsonKey{f.path, std::move(key)};
      }
      f.keys.push_back(key);
      f.current_key = std::move(key);
      break;
    }
    case Event::value:
      if (!frames_.empty() && !frames_.back().object) ++frames_.back().next_index;
      break;
  }
  return true;
}

void StrictKeyTracker::push(bool object) {
  std::string path;
  if (frames_.size() >= max_depth_) throw JsonTooDeep{frames_.back().path};
  if (!frames_.empty()) {
    Frame& parent = frames_.back();
    path = parent.object ? json_field_path(parent.path, parent.current_key)
                         : json_item_path(parent.path, parent.next_index++);
  }
  frames_.push_back(Frame{object, std::move(path), {}, {}, 0});
}

}  // namespace tavrin_core
