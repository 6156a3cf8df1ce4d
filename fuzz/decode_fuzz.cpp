// Decoding of action-distribution rows against arbitrary action spaces. The input bytes give a space
// (leaves written in the orchestration file's space notation and read with space_from_json, nested
// in Tuple and Dict; now and then a space type reporting another name, which decodes by the
// fallback, or one reporting a kind it is not), a row of any element type with NaN, infinities and
// the mask penalty among its values, and a start position.
//
// A reference reading of the same row says whether decoding must succeed (every range it reads is
// long enough) and what it yields: discrete choices in [0, n) at the first maximum (the first NaN
// wins), box means clipped to [-1, 1] in the space's shape and element type, bits where the logit
// is > 0, the rest of the row for the fallback, and the position after the consumed entries.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/spaces.hpp"
#include "fuzz/fuzz_support.hpp"
#include "skill/action_decoder.hpp"

namespace {

namespace spaces = tavrin_core::spaces;
using tavrin_inference::DType;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
using tavrin_inference::Value;

using fuzz_support::fail;

// A Discrete space under another kind name: "MyDiscrete" decodes by the fallback; "Box" (a kind it
// is not) must be refused.
class RenamedDiscrete : public spaces::Discrete {
 public:
  RenamedDiscrete(std::int64_t n, std::string name) : Discrete(n), name_(std::move(name)) {}
  std::string type_name() const override { return name_; }

 private:
  std::string name_;
};

constexpr int kMaxDepth = 4;

const char* const kDtypes[] = {"float32", "float64", "int64", "int8"};

Value int_list(const std::vector<std::int64_t>& v) {
  std::vector<Value> items;
  for (std::int64_t x : v) items.emplace_back(static_cast<long long>(x));
  return Value::list(std::move(items));
}

spaces::SpacePtr make_space(FuzzedDataProvider& in, int depth) {
  const int kind = in.ConsumeIntegralInRange<int>(0, depth >= kMaxDepth ? 4 : 6);
  const std::string where = "space";
  switch (kind) {
    case 0: {
      Map m{{"type", "Discrete"}, {"n", static_cast<long long>(in.ConsumeIntegralInRange<int>(1, 8))}};
      if (in.ConsumeBool()) m.set("start", static_cast<long long>(in.ConsumeIntegralInRange<int>(-3, 3)));
      return spaces::space_from_json(Value(std::move(m)), where);
    }
    case 1: {
      std::vector<std::int64_t> shape(in.ConsumeIntegralInRange<std::size_t>(0, 3));
      for (auto& d : shape) d = in.ConsumeIntegralInRange<int>(0, 3);
      Map m{{"type", "Box"},
            {"low", -2.0},
            {"high", 2.0},
            {"shape", int_list(shape)},
            {"dtype", kDtypes[in.ConsumeIntegralInRange<int>(0, 3)]}};
      return spaces::space_from_json(Value(std::move(m)), where);
    }
    case 2: {
      const std::size_t rows = in.ConsumeIntegralInRange<std::size_t>(1, 3);
      const bool two_d = in.ConsumeBool();
      const std::size_t cols = two_d ? in.ConsumeIntegralInRange<std::size_t>(1, 2) : 1;
      std::vector<Value> outer;
      for (std::size_t r = 0; r < rows; ++r) {
        std::vector<std::int64_t> row(cols);
        for (auto& k : row) k = in.ConsumeIntegralInRange<int>(1, 4);
        outer.push_back(two_d ? int_list(row) : Value(static_cast<long long>(row.front())));
      }
      return spaces::space_from_json(Value(Map{{"type", "MultiDiscrete"}, {"nvec", Value::list(std::move(outer))}}),
                                     where);
    }
    case 3: {
      if (in.ConsumeBool()) {
        return spaces::space_from_json(
            Value(Map{{"type", "MultiBinary"}, {"n", static_cast<long long>(in.ConsumeIntegralInRange<int>(1, 5))}}),
            where);
      }
      std::vector<std::int64_t> shape(in.ConsumeIntegralInRange<std::size_t>(1, 3));
      for (auto& d : shape) d = in.ConsumeIntegralInRange<int>(1, 3);
      return spaces::space_from_json(Value(Map{{"type", "MultiBinary"}, {"shape", int_list(shape)}}), where);
    }
    case 4:
      return std::make_shared<RenamedDiscrete>(in.ConsumeIntegralInRange<int>(1, 4),
                                               in.ConsumeIntegralInRange<int>(0, 3) == 0 ? "Box" : "MyDiscrete");
    case 5: {
      std::vector<spaces::SpacePtr> parts(in.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (auto& p : parts) p = make_space(in, depth + 1);
      return std::make_shared<spaces::Tuple>(std::move(parts));
    }
    default: {
      spaces::SpaceEntries parts(in.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (std::size_t i = 0; i < parts.size(); ++i) parts[i] = {"k" + std::to_string(i), make_space(in, depth + 1)};
      return std::make_shared<spaces::Dict>(std::move(parts));
    }
  }
}

double pick_value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return 0.0;
    case 1: return 1.0;
    case 2: return -3.4e38;  // the mask penalty
    case 3: return std::numeric_limits<double>::quiet_NaN();
    case 4: return std::numeric_limits<double>::infinity();
    case 5: return -std::numeric_limits<double>::infinity();
    case 6: return 1e-9;
    case 7: return -0.5;
    default: return static_cast<double>(in.ConsumeIntegralInRange<int>(-40, 40)) / 8.0;
  }
}

NdArray make_row(FuzzedDataProvider& in) {
  const auto dtype = static_cast<DType>(in.ConsumeIntegralInRange<int>(0, 3));
  const auto length = in.ConsumeIntegralInRange<std::int64_t>(0, 48);
  NdArray row(dtype, Shape{length});
  for (std::int64_t i = 0; i < length; ++i) {
    const double v = pick_value(in);
    switch (dtype) {
      case DType::float32: row.data<float>()[i] = static_cast<float>(v); break;
      case DType::float64: row.data<double>()[i] = v; break;
      case DType::int64: row.data<std::int64_t>()[i] = std::fabs(v) < 1e6 ? static_cast<std::int64_t>(v * 8) : 0; break;
      case DType::int8: row.data<std::int8_t>()[i] = std::fabs(v) < 16 ? static_cast<std::int8_t>(v * 8) : 0; break;
    }
  }
  return row;
}

// ---- reference reading ------------------------------------------------------------------------

struct Reference {
  const NdArray& row;
  std::int64_t length() const { return row.size(); }
  std::int64_t available(std::int64_t pos, std::int64_t count) const {
    if (count <= 0 || pos >= length()) return 0;
    return std::min(count, length() - pos);
  }
  double at(std::int64_t i) const { return row.at_double(i); }

  std::int64_t argmax(std::int64_t pos, std::int64_t count) const {
    const std::int64_t n = available(pos, count);
    std::int64_t best = 0;
    for (std::int64_t i = 0; i < n; ++i) {
      if (std::isnan(at(pos + i))) return i;
      if (at(pos + i) > at(pos + best)) best = i;
    }
    return best;
  }

  // The position after decoding `space` from `pos`, or nothing when decoding must fail.
  std::optional<std::int64_t> predict(const spaces::Space& space, std::int64_t pos) const {
    const std::string name = space.type_name();
    if (name == "Discrete") {
      const auto* s = dynamic_cast<const spaces::Discrete*>(&space);
      if (s == nullptr || available(pos, s->n()) == 0) return std::nullopt;
      return pos + s->n();
    }
    if (name == "Box") {
      const auto* s = dynamic_cast<const spaces::Box*>(&space);
      if (s == nullptr || available(pos, s->shape().numel()) < s->shape().numel()) return std::nullopt;
      return pos + 2 * s->shape().numel();
    }
    if (name == "MultiDiscrete") {
      const auto* s = dynamic_cast<const spaces::MultiDiscrete*>(&space);
      if (s == nullptr) return std::nullopt;
      for (std::int64_t k : s->nvec().span<std::int64_t>()) {
        if (available(pos, k) == 0) return std::nullopt;
        pos += k;
      }
      return pos;
    }
    if (name == "MultiBinary") {
      const auto* s = dynamic_cast<const spaces::MultiBinary*>(&space);
      if (s == nullptr || available(pos, s->shape().numel()) < s->shape().numel()) return std::nullopt;
      return pos + s->shape().numel();
    }
    if (name == "Tuple" || name == "Dict") {
      std::vector<spaces::SpacePtr> subs;
      if (const auto* t = dynamic_cast<const spaces::Tuple*>(&space); t != nullptr && name == "Tuple") {
        subs = t->spaces();
      } else if (const auto* d = dynamic_cast<const spaces::Dict*>(&space); d != nullptr && name == "Dict") {
        for (const auto& e : d->spaces()) subs.push_back(e.second);
      } else {
        return std::nullopt;
      }
      for (const auto& sub : subs) {
        const auto next = predict(*sub, pos);
        if (!next) return std::nullopt;
        pos = *next;
      }
      return pos;
    }
    return length();
  }

  void check_shape(const Value& action, const Shape& shape, DType dtype, const std::string& what) const {
    if (!action.is_array()) fail(what + ": not an array");
    if (!(action.as_array().shape() == shape)) fail(what + ": shape " + action.as_array().shape().str());
    if (action.as_array().dtype() != dtype) fail(what + ": element type");
  }

  // Checks the decoded action of `space` read from `pos`; returns the position after it.
  std::int64_t verify(const spaces::Space& space, std::int64_t pos, const Value& action) const {
    const std::string name = space.type_name();
    const std::string what = name + " at " + std::to_string(pos);
    if (name == "Discrete") {
      const auto& s = dynamic_cast<const spaces::Discrete&>(space);
      if (!action.is_int()) fail(what + ": not an integer");
      const std::int64_t a = action.as_int();
      if (a < 0 || a >= s.n()) fail(what + ": action " + std::to_string(a) + " outside [0, n)");
      if (a != argmax(pos, s.n())) fail(what + ": not the first largest entry");
      return pos + s.n();
    }
    if (name == "Box") {
      const auto& s = dynamic_cast<const spaces::Box&>(space);
      check_shape(action, s.shape(), s.dtype(), what);
      const NdArray& a = action.as_array();
      for (std::int64_t i = 0; i < a.size(); ++i) {
        const double got = a.at_double(i);
        const double mean = at(pos + i);
        if (std::isnan(mean)) {
          if (s.dtype() == DType::float32 || s.dtype() == DType::float64 ? !std::isnan(got) : got != 0.0) {
            fail(what + ": a NaN mean decoded to " + std::to_string(got));
          }
          continue;
        }
        if (!(got >= -1.0 && got <= 1.0)) fail(what + ": value " + std::to_string(got) + " outside [-1, 1]");
        double want = std::clamp(mean, -1.0, 1.0);
        if (s.dtype() == DType::int64 || s.dtype() == DType::int8) want = std::trunc(want);
        if (s.dtype() == DType::float32) want = static_cast<float>(want);
        if (got != want) fail(what + ": value " + std::to_string(got) + " for mean " + std::to_string(mean));
      }
      return pos + 2 * s.shape().numel();
    }
    if (name == "MultiDiscrete") {
      const auto& s = dynamic_cast<const spaces::MultiDiscrete&>(space);
      check_shape(action, s.shape(), DType::int64, what);
      const auto nvec = s.nvec().span<std::int64_t>();
      const auto got = action.as_array().span<std::int64_t>();
      for (std::size_t i = 0; i < nvec.size(); ++i) {
        if (got[i] < 0 || got[i] >= nvec[i]) fail(what + ": component " + std::to_string(i) + " outside [0, n)");
        if (got[i] != argmax(pos, nvec[i])) fail(what + ": component " + std::to_string(i) + " not the first largest");
        pos += nvec[i];
      }
      return pos;
    }
    if (name == "MultiBinary") {
      const auto& s = dynamic_cast<const spaces::MultiBinary&>(space);
      check_shape(action, s.shape(), DType::int8, what);
      const auto got = action.as_array().span<std::int8_t>();
      for (std::size_t i = 0; i < got.size(); ++i) {
        const std::int8_t want = at(pos + static_cast<std::int64_t>(i)) > 0 ? 1 : 0;
        if (got[i] != want) fail(what + ": bit " + std::to_string(i));
      }
      return pos + s.shape().numel();
    }
    if (name == "Tuple") {
      const auto& subs = dynamic_cast<const spaces::Tuple&>(space).spaces();
      if (!action.is_tuple() || action.size() != subs.size()) fail(what + ": not a tuple of its sub-spaces");
      for (std::size_t i = 0; i < subs.size(); ++i) pos = verify(*subs[i], pos, action[i]);
      return pos;
    }
    if (name == "Dict") {
      const auto& subs = dynamic_cast<const spaces::Dict&>(space).spaces();
      if (!action.is_map() || action.size() != subs.size()) fail(what + ": not a map of its sub-spaces");
      const auto& entries = action.as_map().entries();
      for (std::size_t i = 0; i < subs.size(); ++i) {
        if (entries[i].first != subs[i].first) fail(what + ": keys out of order");
        pos = verify(*subs[i].second, pos, entries[i].second);
      }
      return pos;
    }
    // Fallback: the rest of the row as float32.
    const std::int64_t rest = std::max<std::int64_t>(0, length() - pos);
    check_shape(action, Shape{rest}, DType::float32, what);
    for (std::int64_t i = 0; i < rest; ++i) {
      if (!(action.as_array().at_double(i) == static_cast<double>(static_cast<float>(at(pos + i))) ||
            std::isnan(at(pos + i)))) {
        fail(what + ": the rest of the row differs at " + std::to_string(i));
      }
    }
    return length();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  spaces::SpacePtr space;
  try {
    space = make_space(in, 0);
  } catch (const tavrin_inference::Error& e) {
    fail(std::string("a well-formed space was refused: ") + e.what());
  }
  const std::int64_t offset = in.ConsumeIntegralInRange<int>(0, 4) == 0 ? in.ConsumeIntegralInRange<int>(-2, 12) : 0;
  const NdArray row = make_row(in);
  const NdArray before = row;

  const tavrin_inference::ActionDecoder decoder;
  const Reference ref{row};
  const std::optional<std::int64_t> expected = offset < 0 ? std::nullopt : ref.predict(*space, offset);
  std::pair<Value, std::int64_t> decoded;
  try {
    decoded = decoder._decode_action_dist_inputs(row, *space, offset);
  } catch (const tavrin_inference::Error& e) {
    if (expected) fail("decoding " + space->str() + " failed on a row that covers it: " + e.what());
    return 0;
  }
  if (!expected) fail("decoding " + space->str() + " succeeded where a range is short or the space is misnamed");
  if (decoded.second != *expected) {
    fail("decoding " + space->str() + " ended at " + std::to_string(decoded.second) + ", expected " +
         std::to_string(*expected));
  }
  if (ref.verify(*space, offset, decoded.first) != decoded.second) fail("the decoded action's extent");
  // The row is left as it was.
  for (std::int64_t i = 0; i < row.size(); ++i) {
    const double a = row.at_double(i), b = before.at_double(i);
    if (!(a == b || (std::isnan(a) && std::isnan(b)))) fail("decoding changed the row");
  }
  return 0;
}
