// NdArray and Shape as text: nested lists with Python's float formatting, and the shape forms.
#include <charconv>
#include <ostream>
#include <string>
#include <string_view>

#include "common/nd_array.hpp"

namespace tavrin_inference {

namespace {

// Python float repr: shortest round-trip digits, fixed notation for decimal exponents in [-4, 16),
// otherwise d.ddde+XX; integral values keep a trailing ".0".
template <class F>
void append_float(std::string& out, F v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exp10 = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);

  const auto k = static_cast<int>(digits.size());
  if (exp10 >= -4 && exp10 < 16) {
    if (exp10 < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp10 - 1), '0');
      out += digits;
    } else if (k <= exp10 + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exp10 + 1 - k), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exp10 + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exp10 + 1));
    }
    return;
  }
  out += digits[0];
  if (k > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  out += exp10 < 0 ? '-' : '+';
  const int mag = exp10 < 0 ? -exp10 : exp10;
  if (mag < 10) out += '0';
  out += std::to_string(mag);
}

template <class T>
void append_value(std::string& out, T v) {
  if constexpr (std::is_floating_point_v<T>) {
    append_float(out, v);
  } else {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v));
    out.append(buf, res.ptr);
  }
}

template <class T>
void append_nested(std::string& out, const T* data, const Shape& shape, std::size_t dim, std::int64_t stride) {
  if (dim == shape.ndim()) {
    append_value(out, *data);
    return;
  }
  const std::int64_t inner = shape[dim] == 0 ? 0 : stride / shape[dim];
  out += '[';
  for (std::int64_t j = 0; j < shape[dim]; ++j) {
    if (j > 0) out += ", ";
    append_nested(out, data + j * inner, shape, dim + 1, inner);
  }
  out += ']';
}

std::string join_dims(const Shape& shape, char open, char close) {
  std::string out(1, open);
  for (std::size_t i = 0; i < shape.ndim(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  out += close;
  return out;
}

}  // namespace

std::string Shape::str() const { return join_dims(*this, '(', ')'); }
std::string Shape::declared_str() const { return join_dims(*this, '[', ']'); }

std::ostream& operator<<(std::ostream& os, const Shape& shape) { return os << shape.str(); }

// ---- text -----------------------------------------------------------------------------------

std::string NdArray::str() const {
  std::string out;
  visit_span(*this, [&](auto v) { append_nested(out, v.data(), shape(), 0, size()); });
  return out;
}

std::ostream& operator<<(std::ostream& os, const NdArray& array) { return os << array.str(); }

}  // namespace tavrin_inference
