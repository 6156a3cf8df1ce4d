#include "tools/space_sampling.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/errors.hpp"

namespace tavrin_tool {

namespace {

using namespace tavrin_core::spaces;
using tavrin_inference::DType;
using tavrin_inference::InvalidArgumentError;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Value;

double sample_box_element(double low, double high, bool integral, std::mt19937_64& rng) {
  const bool lo = std::isfinite(low);
  const bool hi = std::isfinite(high);
  double v;
  if (lo && hi) {
    if (integral) return std::floor(std::uniform_real_distribution<double>(low, std::nextafter(high + 1.0, low))(rng));
    v = low == high ? low : std::uniform_real_distribution<double>(low, high)(rng);
  } else if (lo) {
    v = low + std::exponential_distribution<double>(1.0)(rng);
  } else if (hi) {
    v = high - std::exponential_distribution<double>(1.0)(rng);
  } else {
    v = std::normal_distribution<double>(0.0, 1.0)(rng);
  }
  return integral ? std::floor(v) : v;
}

}  // namespace

Value sample_space(const Space& space, std::mt19937_64& rng) {
  const std::string kind = space.type_name();
  if (kind == "Discrete") {
    const auto& d = static_cast<const Discrete&>(space);
    return Value(d.start() + std::uniform_int_distribution<std::int64_t>(0, d.n() - 1)(rng));
  }
  if (kind == "Box") {
    const auto& b = static_cast<const Box&>(space);
    const bool integral = b.dtype() == DType::int64 || b.dtype() == DType::int8;
    NdArray out(b.dtype(), b.shape());
    for (std::int64_t i = 0; i < out.size(); ++i)
      out.set_double(i, sample_box_element(b.low().at_double(i), b.high().at_double(i), integral, rng));
    return Value(std::move(out));
  }
  if (kind == "MultiDiscrete") {
    const auto& m = static_cast<const MultiDiscrete&>(space);
    NdArray out(DType::int64, m.shape());
    for (std::int64_t i = 0; i < out.size(); ++i) {
      const auto n = static_cast<std::int64_t>(m.nvec().at_double(i));
      out.set_double(i, static_cast<double>(std::uniform_int_distribution<std::int64_t>(0, n - 1)(rng)));
    }
    return Value(std::move(out));
  }
  if (kind == "MultiBinary") {
    const auto& m = static_cast<const MultiBinary&>(space);
    NdArray out(DType::int8, m.shape());
    for (std::int64_t i = 0; i < out.size(); ++i) out.set_double(i, std::uniform_int_distribution<int>(0, 1)(rng));
    return Value(std::move(out));
  }
  if (kind == "Tuple") {
    std::vector<Value> items;
    for (const auto& part : static_cast<const Tuple&>(space).spaces()) items.push_back(sample_space(*part, rng));
    return Value::tuple(std::move(items));
  }
  if (kind == "Dict") {
    Map out;
    for (const auto& [key, part] : static_cast<const Dict&>(space).spaces()) out.set(key, sample_space(*part, rng));
    return Value(std::move(out));
  }
  throw InvalidArgumentError("cannot sample a space of kind " + kind + ": " + space.str());
}

}  // namespace tavrin_tool
