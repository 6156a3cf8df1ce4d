// The static mask helpers of BaseAgentProcessor on arbitrary structured masks: nested lists, tuples
// and maps of arrays (every element type, up to three dimensions), numbers, booleans, None and text,
// all drawn from the input bytes. Each helper either throws one of the runtime's error kinds or
// returns a result that agrees with a plain reading of the input:
//   _format_action_mask_for_onnx     absent exactly for None; float64; an array keeps its shape;
//                                    the values are the input's leaves in order
//   _format_action_mask_for_combine  int8, one dimension, the same leaves truncated (saturating)
//   _align_mask_length               exactly target_size entries: a prefix, then int8 ones
// The copying and the moving overloads give the same results.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "fuzz/fuzz_support.hpp"
#include "processor/skillkit.hpp"

namespace {

using tavrin_inference::BaseAgentProcessor;
using tavrin_inference::DType;
using tavrin_inference::List;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
using tavrin_inference::Value;

using fuzz_support::fail;

constexpr int kMaxDepth = 5;
constexpr std::size_t kMaxItems = 6;

double pick_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return 0.0;
    case 1: return 1.0;
    case 2: return -1.0;
    case 3: return 0.5;
    case 4: return std::numeric_limits<double>::quiet_NaN();
    case 5: return std::numeric_limits<double>::infinity();
    case 6: return -std::numeric_limits<double>::infinity();
    case 7: return 1e300;
    case 8: return -3.4e38;
    default: return in.ConsumeFloatingPoint<double>();
  }
}

NdArray make_array(FuzzedDataProvider& in) {
  const auto dtype = static_cast<DType>(in.ConsumeIntegralInRange<int>(0, 3));
  Shape shape;
  const int ndim = in.ConsumeIntegralInRange<int>(0, 3);
  for (int d = 0; d < ndim; ++d) shape.push_back(in.ConsumeIntegralInRange<std::int64_t>(0, 4));
  NdArray a(dtype, shape);
  for (std::int64_t i = 0; i < a.size(); ++i) {
    switch (dtype) {
      case DType::float32: a.data<float>()[i] = static_cast<float>(pick_double(in)); break;
      case DType::float64: a.data<double>()[i] = pick_double(in); break;
      case DType::int64: a.data<std::int64_t>()[i] = in.ConsumeIntegral<std::int64_t>(); break;
      case DType::int8: a.data<std::int8_t>()[i] = in.ConsumeIntegral<std::int8_t>(); break;
    }
  }
  return a;
}

Value make_value(FuzzedDataProvider& in, int depth) {
  const int kind = in.ConsumeIntegralInRange<int>(0, depth >= kMaxDepth ? 5 : 8);
  switch (kind) {
    case 0: return Value();
    case 1: return Value(in.ConsumeBool());
    case 2: return Value(static_cast<long long>(in.ConsumeIntegralInRange<std::int64_t>(-3, 3)));
    case 3: return Value(pick_double(in));
    case 4: return in.ConsumeBool() ? Value(make_array(in)) : Value(in.ConsumeRandomLengthString(4));
    case 5: return Value(make_array(in));
    case 6:
    case 7: {
      std::vector<Value> items;
      const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxItems);
      for (std::size_t i = 0; i < n; ++i) items.push_back(make_value(in, depth + 1));
      return kind == 6 ? Value::list(std::move(items)) : Value::tuple(std::move(items));
    }
    default: {
      Map m;
      const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxItems);
      for (std::size_t i = 0; i < n; ++i) m.set("k" + std::to_string(i), make_value(in, depth + 1));
      return Value(std::move(m));
    }
  }
}

// The leaves of a mask in order, as doubles (what the float64 form must hold).
void leaves(const Value& v, std::vector<double>& out) {
  if (v.is_array()) {
    const NdArray& a = v.as_array();
    for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.at_double(i));
  } else if (v.is_list()) {
    for (const Value& item : v.as_list().items) leaves(item, out);
  } else if (v.is_map()) {
    for (const auto& entry : v.as_map()) leaves(entry.second, out);
  } else if (v.is_number()) {
    out.push_back(v.as_double());
  }
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Float -> int8 the way the combine form converts: truncation toward zero, NaN as 0, saturating.
std::int8_t to_int8(double x) { return tavrin_inference::saturating_cast<std::int8_t>(x); }

void check_same_array(const NdArray& a, const NdArray& b, const char* what) {
  if (a.dtype() != b.dtype() || !(a.shape() == b.shape())) fail(std::string(what) + ": dtype or shape differ");
  for (std::int64_t i = 0; i < a.size(); ++i) {
    if (!same(a.at_double(i), b.at_double(i))) fail(std::string(what) + ": values differ");
  }
}

// Called where the copying overload of `helper` refused a mask: `moving`, its moving overload on a
// copy of that mask, must refuse it as well.
template <class Moving>
void expect_refused_too(Moving moving, const char* helper) {
  try {
    (void)moving();
  } catch (const tavrin_inference::Error&) {
    return;
  }
  fail(std::string(helper) + ": the moving overload accepts what the copying one refuses");
}

void check_onnx(const Value& mask) {
  std::optional<NdArray> formatted;
  try {
    formatted = BaseAgentProcessor::_format_action_mask_for_onnx(mask);
  } catch (const tavrin_inference::Error&) {
    expect_refused_too([&] { return BaseAgentProcessor::_format_action_mask_for_onnx(Value(mask)); },
                       "_format_action_mask_for_onnx");
    return;
  }
  if (mask.is_none() != !formatted.has_value()) fail("_format_action_mask_for_onnx: absent iff the mask is None");
  if (!formatted) return;
  if (formatted->dtype() != DType::float64) fail("_format_action_mask_for_onnx: not float64");
  if (mask.is_array() && !(formatted->shape() == mask.as_array().shape())) {
    fail("_format_action_mask_for_onnx: an array changed its shape");
  }
  if (!mask.is_array() && formatted->ndim() == 0) fail("_format_action_mask_for_onnx: a 0-d result");
  std::vector<double> expected;
  leaves(mask, expected);
  if (static_cast<std::int64_t>(expected.size()) != formatted->size()) {
    fail("_format_action_mask_for_onnx: " + std::to_string(formatted->size()) + " entries for " +
         std::to_string(expected.size()) + " leaves");
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (!same(formatted->at_double(static_cast<std::int64_t>(i)), expected[i])) {
      fail("_format_action_mask_for_onnx: entry " + std::to_string(i) + " differs from its leaf");
    }
  }
  const std::optional<NdArray> moved = BaseAgentProcessor::_format_action_mask_for_onnx(Value(mask));
  if (!moved) fail("_format_action_mask_for_onnx: the moving overload gave absent");
  check_same_array(*formatted, *moved, "_format_action_mask_for_onnx copy vs move");
}

std::optional<NdArray> check_combine(const Value& mask) {
  NdArray combined;
  try {
    combined = BaseAgentProcessor::_format_action_mask_for_combine(mask);
  } catch (const tavrin_inference::Error&) {
    expect_refused_too([&] { return BaseAgentProcessor::_format_action_mask_for_combine(Value(mask)); },
                       "_format_action_mask_for_combine");
    return std::nullopt;
  }
  if (combined.dtype() != DType::int8 || combined.ndim() != 1) fail("_format_action_mask_for_combine: not 1-D int8");
  std::vector<double> expected;
  leaves(mask, expected);
  if (static_cast<std::int64_t>(expected.size()) != combined.size()) {
    fail("_format_action_mask_for_combine: " + std::to_string(combined.size()) + " entries for " +
         std::to_string(expected.size()) + " leaves");
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (combined.data<std::int8_t>()[i] != to_int8(expected[i])) {
      fail("_format_action_mask_for_combine: entry " + std::to_string(i) + " is not its leaf truncated");
    }
  }
  check_same_array(combined, BaseAgentProcessor::_format_action_mask_for_combine(Value(mask)),
                   "_format_action_mask_for_combine copy vs move");
  return combined;
}

void check_align(FuzzedDataProvider& in, const NdArray& flat) {
  Value target;
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: target = Value(static_cast<long long>(in.ConsumeIntegralInRange<std::int64_t>(-2, flat.size() + 3))); break;
    case 1: target = Value(in.ConsumeBool()); break;
    case 2: target = Value(static_cast<double>(in.ConsumeIntegralInRange<int>(-2, 40)) / 4.0); break;
    case 3: {
      // Conversion edges: no finite target here asks for more than a few entries, or for an
      // allocation no caller could mean.
      static constexpr double kEdges[] = {std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          1e300,
                                          -1e300,
                                          9.3e18,
                                          -9.3e18,
                                          -0.75,
                                          2.9,
                                          -1.5};
      target = Value(kEdges[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kEdges) - 1)]);
      break;
    }
    case 4: target = Value(in.ConsumeRandomLengthString(3)); break;
    default: target = Value(); break;
  }
  NdArray aligned;
  try {
    aligned = BaseAgentProcessor::_align_mask_length(flat, target);
  } catch (const tavrin_inference::TypeError&) {
    if (target.is_number()) fail("_align_mask_length: TypeError for a number");
    return;
  } catch (const tavrin_inference::Error&) {
    if (!target.is_number()) fail("_align_mask_length: a non-number not refused with a TypeError");
    return;
  }
  if (!target.is_number()) fail("_align_mask_length: accepted a " + std::string(target.kind_name()));
  const std::int64_t size = target.as_int();
  if (aligned.size() != size) fail("_align_mask_length: wrong length");
  if (flat.size() == size) {
    check_same_array(aligned, flat, "_align_mask_length of the same length");
    return;
  }
  if (aligned.ndim() != 1 || aligned.dtype() != DType::int8) fail("_align_mask_length: not 1-D int8");
  for (std::int64_t i = 0; i < size; ++i) {
    const double want = i < flat.size() ? flat.at_double(i) : 1.0;
    if (!same(aligned.at_double(i), want)) fail("_align_mask_length: entry " + std::to_string(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Value mask = make_value(in, 0);
  check_onnx(mask);
  if (const std::optional<NdArray> flat = check_combine(mask)) check_align(in, *flat);
  return 0;
}
