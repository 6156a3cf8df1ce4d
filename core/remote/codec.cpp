#include "core/remote/codec.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "common/errors.hpp"

namespace tavrin_core::remote {

using tavrin_inference::DType;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
using tavrin_inference::TypeError;
using tavrin_inference::Value;

namespace {

// `base.key`, built in one allocation.
std::string member_path(const std::string& base, const std::string& key) {
  std::string path;
  path.reserve(base.size() + 1 + key.size());
  path.append(base).append(1, '.').append(key);
  return path;
}

Json encode_float(double d) {
  if (std::isfinite(d)) return Json(d);
  return Json::object({{"$float", std::isnan(d) ? "nan" : (d > 0 ? "inf" : "-inf")}});
}

Json encode_array(const NdArray& a) {
  Json shape = Json::array();
  for (auto dim : a.shape()) shape.push_back(dim);
  Json data = Json::array();
  const auto n = a.size();
  data.get_ref<Json::array_t&>().reserve(static_cast<std::size_t>(n));
  switch (a.dtype()) {
    case DType::float32:
      for (float v : a.span<float>()) {
        if (std::isfinite(v))
          data.push_back(static_cast<double>(v));
        else
          data.push_back(std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf"));
      }
      break;
    case DType::float64:
      for (double v : a.span<double>()) {
        if (std::isfinite(v))
          data.push_back(v);
        else
          data.push_back(std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf"));
      }
      break;
    case DType::int64:
      for (std::int64_t v : a.span<std::int64_t>()) data.push_back(v);
      break;
    case DType::int8:
      for (std::int8_t v : a.span<std::int8_t>()) data.push_back(static_cast<int>(v));
      break;
  }
  return Json::object({{"$ndarray", Json::object({{"dtype", tavrin_inference::dtype_name(a.dtype())},
                                                  {"shape", std::move(shape)},
                                                  {"data", std::move(data)}})}});
}

[[noreturn]] void bad(std::string_view path, const std::string& what) {
  throw InvalidArgumentError("malformed value at " + std::string(path) + ": " + what);
}

double number_or_special(const Json& j, const std::string& path) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const auto& s = j.get_ref<const std::string&>();
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  bad(path, "expected a number or \"nan\", \"inf\", \"-inf\", got " + j.dump());
}

DType parse_dtype(const Json& j, const std::string& path) {
  if (j.is_string()) {
    const auto& s = j.get_ref<const std::string&>();
    if (s == "float32") return DType::float32;
    if (s == "float64") return DType::float64;
    if (s == "int64") return DType::int64;
    if (s == "int8") return DType::int8;
  }
  bad(path, "unknown element type " + j.dump() + " (expected float32, float64, int64 or int8)");
}

template <class T>
std::vector<T> integral_data(const Json& data, const std::string& path) {
  std::vector<T> out;
  out.reserve(data.size());
  std::size_t i = 0;
  for (const auto& e : data) {
    if (!e.is_number_integer()) bad(path + "[" + std::to_string(i) + "]", "expected an integer, got " + e.dump());
    const auto v = e.get<std::int64_t>();
    if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
        v > static_cast<std::int64_t>(std::numeric_limits<T>::max()))
      bad(path + "[" + std::to_string(i) + "]", "value " + std::to_string(v) + " out of range");
    out.push_back(static_cast<T>(v));
    ++i;
  }
  return out;
}

template <class T>
std::vector<T> float_data(const Json& data, const std::string& path) {
  std::vector<T> out;
  out.reserve(data.size());
  std::size_t i = 0;
  for (const auto& e : data)
    out.push_back(static_cast<T>(number_or_special(e, path + "[" + std::to_string(i++) + "]")));
  return out;
}

Value decode_array(const Json& body, const std::string& path) {
  if (!body.is_object()) bad(path, "expected an object with dtype, shape and data");
  for (const auto& [key, _] : body.items()) {
    if (key != "dtype" && key != "shape" && key != "data") bad(member_path(path, key), "unknown field");
  }
  const auto dtype_it = body.find("dtype");
  const auto shape_it = body.find("shape");
  const auto data_it = body.find("data");
  if (dtype_it == body.end()) bad(path + ".dtype", "missing");
  if (shape_it == body.end()) bad(path + ".shape", "missing");
  if (data_it == body.end()) bad(path + ".data", "missing");
  const DType dtype = parse_dtype(*dtype_it, path + ".dtype");
  if (!shape_it->is_array()) bad(path + ".shape", "expected a list of sizes");
  Shape shape;
  for (const auto& d : *shape_it) {
    if (!d.is_number_integer() || d.get<std::int64_t>() < 0) bad(path + ".shape", "sizes must be integers >= 0");
    if (shape.ndim() == Shape::kMaxDims)
      bad(path + ".shape", "more than " + std::to_string(Shape::kMaxDims) + " dimensions");
    shape.push_back(d.get<std::int64_t>());
  }
  if (!data_it->is_array()) bad(path + ".data", "expected a flat list of elements");
  if (static_cast<std::int64_t>(data_it->size()) != shape.numel())
    bad(path + ".data", std::to_string(data_it->size()) + " elements for shape " + shape.str());
  const std::string dpath = path + ".data";
  switch (dtype) {
    case DType::float32: return Value(NdArray::from_vector(float_data<float>(*data_it, dpath), shape));
    case DType::float64: return Value(NdArray::from_vector(float_data<double>(*data_it, dpath), shape));
    case DType::int64: return Value(NdArray::from_vector(integral_data<std::int64_t>(*data_it, dpath), shape));
    case DType::int8: return Value(NdArray::from_vector(integral_data<std::int8_t>(*data_it, dpath), shape));
  }
  bad(path, "unknown element type");
}

}  // namespace

Json encode_value(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::none: return Json(nullptr);
    case Value::Kind::boolean: return Json(value.as_bool());
    case Value::Kind::integer: return Json(value.as_int());
    case Value::Kind::floating: return encode_float(value.as_double());
    case Value::Kind::text: return Json(value.as_text());
    case Value::Kind::array: return encode_array(value.as_array());
    case Value::Kind::list: {
      const List& l = value.as_list();
      Json items = Json::array();
      items.get_ref<Json::array_t&>().reserve(l.items.size());
      for (const auto& item : l.items) items.push_back(encode_value(item));
      if (l.tuple) return Json::object({{"$tuple", std::move(items)}});
      return items;
    }
    case Value::Kind::map: {
      const Map& m = value.as_map();
      bool tagged = false;
      for (const auto& [key, _] : m) tagged = tagged || (!key.empty() && key[0] == '$');
      if (tagged) {
        Json pairs = Json::array();
        for (const auto& [key, v] : m) pairs.push_back(Json::array({key, encode_value(v)}));
        return Json::object({{"$map", std::move(pairs)}});
      }
      Json obj = Json::object();
      for (const auto& [key, v] : m) obj[key] = encode_value(v);
      return obj;
    }
    case Value::Kind::object:
      throw TypeError("a value of type '" +
                      (value.as_object() ? value.as_object()->type_name() : std::string("object")) +
                      "' cannot be sent to a worker");
  }
  return Json(nullptr);
}

Value decode_value(const Json& json, std::string_view path_view) {
  const std::string path(path_view);
  switch (json.type()) {
    case Json::value_t::null: return Value();
    case Json::value_t::boolean: return Value(json.get<bool>());
    case Json::value_t::number_integer: return Value(json.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      const auto u = json.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) bad(path, "integer out of range");
      return Value(static_cast<std::int64_t>(u));
    }
    case Json::value_t::number_float: return Value(json.get<double>());
    case Json::value_t::string: return Value(json.get<std::string>());
    case Json::value_t::array: {
      std::vector<Value> items;
      items.reserve(json.size());
      for (std::size_t i = 0; i < json.size(); ++i)
        items.push_back(decode_value(json[i], path + "[" + std::to_string(i) + "]"));
      return Value::list(std::move(items));
    }
    case Json::value_t::object: {
      if (json.size() == 1) {
        // Through the iterator itself: a binding to the items() proxy would outlive the proxy.
        const auto first = json.begin();
        const std::string& key = first.key();
        const Json& body = first.value();
        if (key == "$ndarray") return decode_array(body, path + ".$ndarray");
        if (key == "$tuple") {
          if (!body.is_array()) bad(path + ".$tuple", "expected a list");
          std::vector<Value> items;
          items.reserve(body.size());
          for (std::size_t i = 0; i < body.size(); ++i)
            items.push_back(decode_value(body[i], path + ".$tuple[" + std::to_string(i) + "]"));
          return Value::tuple(std::move(items));
        }
        if (key == "$float") return Value(number_or_special(body, path + ".$float"));
        if (key == "$map") {
          if (!body.is_array()) bad(path + ".$map", "expected a list of [key, value] pairs");
          Map m;
          m.reserve(body.size());
          for (std::size_t i = 0; i < body.size(); ++i) {
            const auto& pair = body[i];
            const std::string p = path + ".$map[" + std::to_string(i) + "]";
            if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string()) bad(p, "expected a [key, value] pair");
            m.set(pair[0].get<std::string>(), decode_value(pair[1], p + "[1]"));
          }
          return Value(std::move(m));
        }
      }
      Map m;
      m.reserve(json.size());
      for (const auto& [key, v] : json.items()) {
        if (!key.empty() && key[0] == '$')
          bad(member_path(path, key), "unknown tag (maps with '$' keys travel as {\"$map\": [...]})");
        m.set(key, decode_value(v, member_path(path, key)));
      }
      return Value(std::move(m));
    }
    case Json::value_t::binary:
    case Json::value_t::discarded: break;
  }
  bad(path, "unsupported JSON value");
}

}  // namespace tavrin_core::remote
