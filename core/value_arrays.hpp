#pragma once
// Arrays from values: nested lists of numbers read as one array's worth of numbers (the shape they
// form and their values in row-major order), wherever a list-valued sample or sensor becomes an array.
#include <cstdint>
#include <vector>

#include "common/nd_array.hpp"
#include "common/value.hpp"

namespace tavrin_core {

// Why nested lists do not form an array.
enum class NestedFault : std::uint8_t {
  none,
  ragged,        // lists of one level differ in length, or a number stands beside a list
  not_a_number,  // a leaf is neither a number nor (where allowed) an array
  too_deep,      // more levels than a Shape holds
};

struct NestedNumbers {
  tavrin_inference::Shape shape;  // the sizes along the first elements
  std::vector<double> numbers;    // row-major
  // The promoted element type of the leaves: int8 for booleans, int64 for integers, float64 for
  // floats, an array's own type; float64 when there are no leaves.
  tavrin_inference::DType dtype = tavrin_inference::DType::float64;
  const tavrin_inference::Value* bad = nullptr;  // the leaf a not_a_number fault is about
};

// Reads `value` (a number or nested lists) into `out`, which is cleared first. With `array_leaves`,
// arrays may stand where numbers would; their shape continues the lists' and their elements are
// read in row-major order. Stops at the first fault, in row-major order.
NestedFault read_nested_numbers(const tavrin_inference::Value& value, bool array_leaves, NestedNumbers& out);

// An array holding `value`: arrays unchanged; numbers as 0-d (int64, float64, bool as int8); nested
// lists of numbers (or of equal-shaped arrays) as arrays of their promoted element type.
// InvalidArgumentError for ragged lists, TypeError for anything else.
tavrin_inference::NdArray make_array(const tavrin_inference::Value& value);

}  // namespace tavrin_core
