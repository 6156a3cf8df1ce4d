#pragma once
// Size limit of spaces. A space's flattened form and its everything-allowed mask are allocated when
// the space is made, so a size read from a file is checked first: an orchestration that declares
// Discrete(10**12) or a Box of shape (2**32, 2**32) gets an error naming the field instead of an
// allocation failure or a silently wrapped element count.
#include <cstdint>
#include <string>

#include "common/errors.hpp"
#include "common/nd_array.hpp"

namespace tavrin_core::spaces {

// Most elements a space may have, counted as in its flattened form (16 Mi).
inline constexpr std::int64_t kMaxSpaceElements = std::int64_t{1} << 24;

// `count` when it is within the limit; InvalidArgumentError "<what>: <count> elements ..." otherwise.
inline std::int64_t checked_space_size(std::int64_t count, const std::string& what) {
  if (count < 0 || count > kMaxSpaceElements) {
    throw tavrin_inference::InvalidArgumentError(what + ": " + std::to_string(count) +
                                                 " elements is more than a space may have (" +
                                                 std::to_string(kMaxSpaceElements) + ")");
  }
  return count;
}

// `total + more`, checked like checked_space_size (both operands already within the limit or not).
inline std::int64_t checked_space_sum(std::int64_t total, std::int64_t more, const std::string& what) {
  checked_space_size(more, what);
  if (total > kMaxSpaceElements - more) {
    throw tavrin_inference::InvalidArgumentError(what + ": more elements than a space may have (" +
                                                 std::to_string(kMaxSpaceElements) + ")");
  }
  return total + more;
}

// The number of elements of `shape` (1 for the empty shape), computed without overflow and checked
// like checked_space_size; negative dimensions are refused too.
inline std::int64_t checked_space_elements(const tavrin_inference::Shape& shape, const std::string& what) {
  for (std::int64_t d : shape) {
    if (d == 0) return 0;
    if (d < 0) throw tavrin_inference::InvalidArgumentError(what + ": negative dimension in shape " + shape.str());
  }
  std::int64_t n = 1;
  for (std::int64_t d : shape) {
    if (d > kMaxSpaceElements / n) {
      throw tavrin_inference::InvalidArgumentError(what + ": shape " + shape.str() +
                                                   " has more elements than a space may have (" +
                                                   std::to_string(kMaxSpaceElements) + ")");
    }
    n *= d;
  }
  return n;
}

}  // namespace tavrin_core::spaces
