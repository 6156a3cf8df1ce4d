#pragma once
// What tests read back: an array's elements as plain numbers, and what a call threw.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/nd_array.hpp"

namespace tavrin_test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Every element of `a`, whatever its element type, as a double, in order.
inline std::vector<double> doubles(const tavrin_inference::NdArray& a) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(a.size()));
  for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.at_double(i));
  return out;
}

// The elements of a float32 array, in order.
inline std::vector<float> floats(const tavrin_inference::NdArray& a) {
  const auto s = a.span<float>();
  return {s.begin(), s.end()};
}

// The message of the `E` that `f` throws; a test failure when it throws none.
template <class E, class F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected exception was not thrown";
  return {};
}

// "<kind>: <message>" of the error `f` throws; "" when it throws nothing.
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const tavrin_inference::Error& e) {
    return std::string(e.kind()) + ": " + e.what();
  }
  return "";
}

}  // namespace tavrin_test
