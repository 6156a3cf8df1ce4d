#pragma once
// The dynamic value that crosses the runtime wherever the data is not fixed by the code: raw sensors,
// sensor samples, masks, actions, configuration maps and teacher maps.
//
// Value semantics: copying a Value copies the data; moving is cheap. Maps keep insertion order.
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "common/nd_array.hpp"

namespace tavrin_inference {

class Value;

// Base of objects that travel inside values (teacher, controller and perceptor proxies, ...).
class Object {
 public:
  virtual ~Object() = default;
  virtual std::string type_name() const = 0;
};
using ObjectPtr = std::shared_ptr<Object>;

// A sequence; `tuple` marks the fixed-length form (a pair returned by a hook, a Tuple action).
struct List {
  std::vector<Value> items;
  bool tuple = false;
  bool operator==(const List& other) const;
};

// Map keyed by text, in insertion order. Lookups are linear: maps here hold a handful of entries.
class Map {
 public:
  using Entry = std::pair<std::string, Value>;

  Map() = default;
  Map(std::initializer_list<Entry> entries);

  // Defined after Value, which they need complete (clang instantiates them where they stand).
  std::size_t size() const;
  bool empty() const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  // KeyError naming the key when it is missing.
  const Value& at(std::string_view key) const;
  Value& at(std::string_view key);
  // Inserts at the end when missing; replaces in place (keeping the position) otherwise.
  Value& set(std::string key, Value value);
  Value& operator[](std::string_view key);
  bool erase(std::string_view key);
  void reserve(std::size_t n);

  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  const std::vector<Entry>& entries() const { return entries_; }

  bool operator==(const Map& other) const;

 private:
  std::vector<Entry> entries_;
};

struct None {
  bool operator==(const None&) const = default;
};
inline constexpr None none{};

class Value {
 public:
  enum class Kind { none, boolean, integer, floating, text, array, list, map, object };

  Value() = default;
  Value(None) {}
  Value(bool b) : data_(b) {}
  Value(int i) : data_(static_cast<std::int64_t>(i)) {}
  Value(long i) : data_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : data_(static_cast<std::int64_t>(i)) {}
  Value(unsigned i) : data_(static_cast<std::int64_t>(i)) {}
  Value(double d) : data_(d) {}
  Value(float f) : data_(static_cast<double>(f)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(NdArray a) : data_(std::move(a)) {}
  Value(List l) : data_(std::move(l)) {}
  Value(Map m) : data_(std::move(m)) {}
  Value(ObjectPtr o) : data_(std::move(o)) {}
  template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
  Value(std::shared_ptr<T> o) : data_(ObjectPtr(std::move(o))) {}

  static Value list(std::vector<Value> items = {}) { return Value(List{std::move(items), false}); }
  static Value tuple(std::vector<Value> items) { return Value(List{std::move(items), true}); }

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  const char* kind_name()
      const;  // "None", "bool", "int", "float", "str", "ndarray", "list", "tuple", "dict", object type

  bool is_none() const { return kind() == Kind::none; }
  bool is_bool() const { return kind() == Kind::boolean; }
  bool is_int() const { return kind() == Kind::integer; }
  bool is_float() const { return kind() == Kind::floating; }
  bool is_number() const { return is_int() || is_float() || is_bool(); }
  bool is_text() const { return kind() == Kind::text; }
  bool is_array() const { return kind() == Kind::array; }
  bool is_list() const { return kind() == Kind::list; }
  bool is_tuple() const { return is_list() && std::get<List>(data_).tuple; }
  bool is_map() const { return kind() == Kind::map; }
  bool is_object() const { return kind() == Kind::object; }

  // Checked accessors: TypeError naming the expected and the actual kind.
  bool as_bool() const;
  std::int64_t as_int() const;  // integers and booleans; floats truncate toward zero
  double as_double() const;     // any number
  const std::string& as_text() const;
  const NdArray& as_array() const;
  NdArray& as_array();
  const List& as_list() const;
  List& as_list();
  const Map& as_map() const;
  Map& as_map();
  const ObjectPtr& as_object() const;
  template <class T>
  std::shared_ptr<T> as() const {
    return is_object() ? std::dynamic_pointer_cast<T>(std::get<ObjectPtr>(data_)) : nullptr;
  }

  // Truth value: none, false, 0, 0.0, empty text/list/map/array are false; a one-element array is its
  // element's truth; arrays of several elements are ambiguous (TypeError).
  bool truthy() const;

  // Map and list element access (KeyError / IndexError / TypeError).
  const Value& operator[](std::string_view key) const { return as_map().at(key); }
  const Value& operator[](std::size_t index) const;
  std::size_t size() const;  // elements of a list, entries of a map, elements of an array

  // Text form used in messages (None, True, 3, 0.5, 'text', [1, 2], (1, 2), {'a': 1}, arrays).
  std::string str() const;
  // Text form of a value standing alone: text without quotes, everything else as str().
  std::string text_form() const;

  bool operator==(const Value& other) const;

  // JSON: null, booleans, integers, floats, strings, arrays (lists) and objects (maps, in order).
  // Arrays become nested JSON lists; objects in values become their type name.
  nlohmann::ordered_json to_json() const;
  static Value from_json(const nlohmann::ordered_json& json);
  static Value from_json(const nlohmann::json& json);

 private:
  std::variant<None, bool, std::int64_t, double, std::string, NdArray, List, Map, ObjectPtr> data_;
};

// An absent value that outlives every call: passed by reference where an argument is absent, it
// spares a coroutine's caller a temporary kept in its frame for as long as the call runs.
const Value& absent_value();

inline std::size_t Map::size() const { return entries_.size(); }
inline bool Map::empty() const { return entries_.empty(); }
inline void Map::reserve(std::size_t n) { entries_.reserve(n); }
// Inline: every sensor lookup of a step goes through these.
inline const Value* Map::find(std::string_view key) const {
  for (const auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}
inline Value* Map::find(std::string_view key) {
  for (auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

// Writes value.str(); also what test frameworks print for a Value in a failure message.
std::ostream& operator<<(std::ostream& out, const Value& value);

}  // namespace tavrin_inference
