#include "common/value.hpp"

#include <charconv>
#include <cmath>
#include <ostream>

#include <nlohmann/json.hpp>

#include "common/errors.hpp"

namespace tavrin_inference {

// ---- Map ----

Map::Map(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& e : entries) set(e.first, e.second);
}

const Value& Map::at(std::string_view key) const {
  if (const Value* v = find(key)) return *v;
  throw KeyError("'" + std::string(key) + "'");
}

Value& Map::at(std::string_view key) {
  if (Value* v = find(key)) return *v;
  throw KeyError("'" + std::string(key) + "'");
}

Value& Map::set(std::string key, Value value) {
  if (Value* v = find(key)) {
    *v = std::move(value);
    return *v;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  return entries_.back().second;
}

Value& Map::operator[](std::string_view key) {
  if (Value* v = find(key)) return *v;
  entries_.emplace_back(std::string(key), Value());
  return entries_.back().second;
}

bool Map::erase(std::string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

bool Map::operator==(const Map& other) const { return entries_ == other.entries_; }

bool List::operator==(const List& other) const { return tuple == other.tuple && items == other.items; }

// ---- Value ----

namespace {

[[noreturn]] void wrong_kind(const char* expected, const Value& v) {
  throw TypeError(std::string("expected ") + expected + ", got " + v.kind_name());
}

// The T that `data` (a value's variant, const or not) holds; TypeError naming `expected` otherwise.
template <class T, class Data>
auto& held(Data& data, const char* expected, const Value& v) {
  if (auto* p = std::get_if<T>(&data)) return *p;
  wrong_kind(expected, v);
}

std::string float_text(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string s(buf, end);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

const Value& absent_value() {
  static const Value absent;
  return absent;
}

const char* Value::kind_name() const {
  switch (kind()) {
    case Kind::none: return "None";
    case Kind::boolean: return "bool";
    case Kind::integer: return "int";
    case Kind::floating: return "float";
    case Kind::text: return "str";
    case Kind::array: return "ndarray";
    case Kind::list: return is_tuple() ? "tuple" : "list";
    case Kind::map: return "dict";
    case Kind::object: return "object";
  }
  return "?";
}

bool Value::as_bool() const {
  if (is_bool()) return std::get<bool>(data_);
  wrong_kind("bool", *this);
}

std::int64_t Value::as_int() const {
  switch (kind()) {
    case Kind::integer: return std::get<std::int64_t>(data_);
    case Kind::boolean: return std::get<bool>(data_) ? 1 : 0;
    case Kind::floating: {
      const double d = std::get<double>(data_);
      if (!std::isfinite(d)) throw InvalidArgumentError("cannot convert float " + float_text(d) + " to integer");
      return static_cast<std::int64_t>(d);
    }
    case Kind::array: {
      const auto& a = std::get<NdArray>(data_);
      if (a.size() == 1) return static_cast<std::int64_t>(a.at_double(0));
      break;
    }
    default: break;
  }
  wrong_kind("int", *this);
}

double Value::as_double() const {
  switch (kind()) {
    case Kind::integer: return static_cast<double>(std::get<std::int64_t>(data_));
    case Kind::boolean: return std::get<bool>(data_) ? 1.0 : 0.0;
    case Kind::floating: return std::get<double>(data_);
    case Kind::array: {
      const auto& a = std::get<NdArray>(data_);
      if (a.size() == 1) return a.at_double(0);
      break;
    }
    default: break;
  }
  wrong_kind("float", *this);
}

const std::string& Value::as_text() const { return held<std::string>(data_, "str", *this); }
const NdArray& Value::as_array() const { return held<NdArray>(data_, "ndarray", *this); }
NdArray& Value::as_array() { return held<NdArray>(data_, "ndarray", *this); }
const List& Value::as_list() const { return held<List>(data_, "list", *this); }
List& Value::as_list() { return held<List>(data_, "list", *this); }
const Map& Value::as_map() const { return held<Map>(data_, "dict", *this); }
Map& Value::as_map() { return held<Map>(data_, "dict", *this); }
const ObjectPtr& Value::as_object() const { return held<ObjectPtr>(data_, "object", *this); }

bool Value::truthy() const {
  switch (kind()) {
    case Kind::none: return false;
    case Kind::boolean: return std::get<bool>(data_);
    case Kind::integer: return std::get<std::int64_t>(data_) != 0;
    case Kind::floating: return std::get<double>(data_) != 0.0;
    case Kind::text: return !std::get<std::string>(data_).empty();
    case Kind::array: {
      const auto& a = std::get<NdArray>(data_);
      if (a.size() == 0) return false;
      if (a.size() == 1) return a.at_double(0) != 0.0;
      throw TypeError("The truth value of an array with more than one element is ambiguous");
    }
    case Kind::list: return !std::get<List>(data_).items.empty();
    case Kind::map: return !std::get<Map>(data_).empty();
    case Kind::object: return std::get<ObjectPtr>(data_) != nullptr;
  }
  return false;
}

const Value& Value::operator[](std::size_t index) const {
  const auto& items = as_list().items;
  if (index >= items.size()) throw IndexError("list index out of range");
  return items[index];
}

std::size_t Value::size() const {
  switch (kind()) {
    case Kind::list: return std::get<List>(data_).items.size();
    case Kind::map: return std::get<Map>(data_).size();
    case Kind::array: return static_cast<std::size_t>(std::get<NdArray>(data_).size());
    case Kind::text: return std::get<std::string>(data_).size();
    default: throw TypeError(std::string("object of type '") + kind_name() + "' has no len()");
  }
}

std::string Value::str() const {
  switch (kind()) {
    case Kind::none: return "None";
    case Kind::boolean: return std::get<bool>(data_) ? "True" : "False";
    case Kind::integer: return std::to_string(std::get<std::int64_t>(data_));
    case Kind::floating: return float_text(std::get<double>(data_));
    case Kind::text: return quoted(std::get<std::string>(data_));
    case Kind::array: return std::get<NdArray>(data_).str();
    case Kind::list: {
      const auto& l = std::get<List>(data_);
      std::string out = l.tuple ? "(" : "[";
      for (std::size_t i = 0; i < l.items.size(); ++i) {
        if (i) out += ", ";
        out += l.items[i].str();
      }
      if (l.tuple && l.items.size() == 1) out += ",";
      return out + (l.tuple ? ")" : "]");
    }
    case Kind::map: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, v] : std::get<Map>(data_)) {
        if (!first) out += ", ";
        first = false;
        out += quoted(k) + ": " + v.str();
      }
      return out + "}";
    }
    case Kind::object: {
      const auto& o = std::get<ObjectPtr>(data_);
      if (!o) return "None";
      std::string out = "<";
      out.append(o->type_name()).push_back('>');
      return out;
    }
  }
  return "?";
}

std::string Value::text_form() const { return is_text() ? as_text() : str(); }

bool Value::operator==(const Value& other) const { return data_ == other.data_; }

namespace {

template <class Json>
Json array_to_json(const NdArray& a, std::int64_t& pos, std::size_t dim) {
  const auto& shape = a.shape();
  if (dim == shape.ndim()) {
    const double v = a.at_double(pos++);
    if (a.dtype() == DType::int64 || a.dtype() == DType::int8) return Json(static_cast<std::int64_t>(v));
    return Json(v);
  }
  Json out = Json::array();
  for (std::int64_t i = 0; i < shape[dim]; ++i) out.push_back(array_to_json<Json>(a, pos, dim + 1));
  return out;
}

template <class Json>
Value value_from_json(const Json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::null: return Value();
    case nlohmann::json::value_t::boolean: return Value(j.template get<bool>());
    case nlohmann::json::value_t::number_integer: return Value(j.template get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      const auto u = j.template get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<double>(u));
      return Value(static_cast<std::int64_t>(u));
    }
    case nlohmann::json::value_t::number_float: return Value(j.template get<double>());
    case nlohmann::json::value_t::string: return Value(j.template get<std::string>());
    case nlohmann::json::value_t::array: {
      List l;
      l.items.reserve(j.size());
      for (const auto& e : j) l.items.push_back(value_from_json(e));
      return Value(std::move(l));
    }
    case nlohmann::json::value_t::object: {
      Map m;
      m.reserve(j.size());
      for (auto it = j.begin(); it != j.end(); ++it) m.set(it.key(), value_from_json(it.value()));
      return Value(std::move(m));
    }
    default: throw TypeError("unsupported JSON value");
  }
}

}  // namespace

nlohmann::ordered_json Value::to_json() const {
  using J = nlohmann::ordered_json;
  switch (kind()) {
    case Kind::none: return J(nullptr);
    case Kind::boolean: return J(std::get<bool>(data_));
    case Kind::integer: return J(std::get<std::int64_t>(data_));
    case Kind::floating: return J(std::get<double>(data_));
    case Kind::text: return J(std::get<std::string>(data_));
    case Kind::array: {
      std::int64_t pos = 0;
      return array_to_json<J>(std::get<NdArray>(data_), pos, 0);
    }
    case Kind::list: {
      J out = J::array();
      for (const auto& v : std::get<List>(data_).items) out.push_back(v.to_json());
      return out;
    }
    case Kind::map: {
      J out = J::object();
      for (const auto& [k, v] : std::get<Map>(data_)) out[k] = v.to_json();
      return out;
    }
    case Kind::object: return J(str());
  }
  return J();
}

Value Value::from_json(const nlohmann::ordered_json& json) { return value_from_json(json); }
Value Value::from_json(const nlohmann::json& json) { return value_from_json(json); }

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.str(); }

}  // namespace tavrin_inference
