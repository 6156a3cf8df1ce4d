#pragma once
// Spaces of the core library: the sets that sensors, observations, actions and masks live in.
//
// A space reports the name of its concrete type through `type_name()`; code that dispatches on the
// kind of a space asks `space_kind`, which goes by that name, not the C++ type: a derived space that
// reports its own name is treated as a different kind, one that keeps its base's name as its base.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/nd_array.hpp"
#include "common/value.hpp"

namespace tavrin_core::spaces {

using tavrin_inference::DType;
using tavrin_inference::Map;
using tavrin_inference::NdArray;
using tavrin_inference::Shape;
using tavrin_inference::Value;

class Space;

// The built-in kinds of space, and `other` for every space of a kind of its own.
enum class SpaceKind : std::uint8_t { discrete, box, multi_discrete, multi_binary, tuple, dict, other };

// The kind of `space`: the built-in kind whose name its type_name() reports, when it is an object of
// that kind's class (or of a class derived from it); otherwise `other`. A space of a second copy of
// the space classes that reports a built-in name is `other`, having none of the kind's attributes.
SpaceKind space_kind(const Space& space);

// `space` as the class of S's kind when it is of that kind (see space_kind), else null.
template <class S>
const S* space_as(const Space& space) {
  return space_kind(space) == S::kKind ? static_cast<const S*>(&space) : nullptr;
}

using SpacePtr = std::shared_ptr<const Space>;
using SpaceEntries = std::vector<std::pair<std::string, SpacePtr>>;  // Dict entries, in order

class Space : public std::enable_shared_from_this<Space> {
 public:
  virtual ~Space() = default;

  // Name of the concrete type: "Discrete", "Box", "MultiDiscrete", "MultiBinary", "Tuple", "Dict".
  virtual std::string type_name() const = 0;
  // Text form, e.g. Discrete(3), Box(-1.0, 1.0, (2), float32), Dict('a': Discrete(2)).
  virtual std::string str() const = 0;

  // The space as one flat Box, and a sample of this space as one flat float32 array in that Box.
  virtual SpacePtr flatten() const = 0;
  virtual NdArray flatten_sample(const Value& sample) const = 0;
  // flatten_sample written into `out`, whose elements are reused when it already is a float32
  // vector of the flat size that nothing else holds.
  void flatten_sample_into(const Value& sample, NdArray& out) const;
  // Number of elements of the flattened space.
  virtual std::int64_t flat_size() const = 0;

  // Action masks: one entry per element of the flattened action space.
  virtual SpacePtr get_action_mask_space() const = 0;
  virtual Value get_no_action_mask() const = 0;

  // Whether `sample` belongs to the space (kinds, shapes, bounds).
  virtual bool contains(const Value& sample) const = 0;
  // `value` in this space's own representation (a number, an array of the space's dtype and shape,
  // a tuple or map of those); TypeError / InvalidArgumentError naming `where` when it does not fit.
  virtual Value coerce(const Value& value, const std::string& where) const = 0;
};

class Discrete : public Space {
 public:
  explicit Discrete(std::int64_t n, std::int64_t start = 0);
  std::int64_t n() const { return n_; }
  std::int64_t start() const { return start_; }

  static constexpr SpaceKind kKind = SpaceKind::discrete;
  std::string type_name() const override { return "Discrete"; }
  std::string str() const override;
  SpacePtr flatten() const override;
  NdArray flatten_sample(const Value& sample) const override;  // one-hot
  std::int64_t flat_size() const override { return n_; }
  SpacePtr get_action_mask_space() const override;
  Value get_no_action_mask() const override;
  bool contains(const Value& sample) const override;
  Value coerce(const Value& value, const std::string& where) const override;

 private:
  std::int64_t n_;
  std::int64_t start_;
  SpacePtr flat_;
};

class Box : public Space {
 public:
  Box(NdArray low, NdArray high, DType dtype = DType::float32);  // low/high of equal shape
  Box(double low, double high, Shape shape, DType dtype = DType::float32);
  const NdArray& low() const { return low_; }    // float64, of `shape`
  const NdArray& high() const { return high_; }  // float64, of `shape`
  const Shape& shape() const { return low_.shape(); }
  DType dtype() const { return dtype_; }

  static constexpr SpaceKind kKind = SpaceKind::box;
  std::string type_name() const override { return "Box"; }
  std::string str() const override;
  SpacePtr flatten() const override;
  NdArray flatten_sample(const Value& sample) const override;
  std::int64_t flat_size() const override { return low_.size(); }
  SpacePtr get_action_mask_space() const override;
  Value get_no_action_mask() const override;
  bool contains(const Value& sample) const override;
  Value coerce(const Value& value, const std::string& where) const override;

 private:
  NdArray low_;
  NdArray high_;
  DType dtype_;
  SpacePtr flat_;  // null when the box already is its own flat form (1-D float32)
};

class MultiDiscrete : public Space {
 public:
  explicit MultiDiscrete(NdArray nvec);  // int64, any shape
  const NdArray& nvec() const { return nvec_; }
  const Shape& shape() const { return nvec_.shape(); }

  static constexpr SpaceKind kKind = SpaceKind::multi_discrete;
  std::string type_name() const override { return "MultiDiscrete"; }
  std::string str() const override;
  SpacePtr flatten() const override;
  NdArray flatten_sample(const Value& sample) const override;  // one-hot per component
  std::int64_t flat_size() const override;                     // sum of nvec
  SpacePtr get_action_mask_space() const override;
  Value get_no_action_mask() const override;
  bool contains(const Value& sample) const override;
  Value coerce(const Value& value, const std::string& where) const override;

 private:
  NdArray nvec_;
  std::int64_t flat_size_ = 0;
  SpacePtr flat_;
};

class MultiBinary : public Space {
 public:
  explicit MultiBinary(Shape shape);
  const Shape& shape() const { return shape_; }

  static constexpr SpaceKind kKind = SpaceKind::multi_binary;
  std::string type_name() const override { return "MultiBinary"; }
  std::string str() const override;
  SpacePtr flatten() const override;
  NdArray flatten_sample(const Value& sample) const override;
  std::int64_t flat_size() const override { return shape_.numel(); }
  SpacePtr get_action_mask_space() const override;
  Value get_no_action_mask() const override;
  bool contains(const Value& sample) const override;
  Value coerce(const Value& value, const std::string& where) const override;

 private:
  Shape shape_;
  SpacePtr flat_;
};

class Tuple : public Space {
 public:
  explicit Tuple(std::vector<SpacePtr> spaces);
  const std::vector<SpacePtr>& spaces() const { return spaces_; }

  static constexpr SpaceKind kKind = SpaceKind::tuple;
  std::string type_name() const override { return "Tuple"; }
  std::string str() const override;
  SpacePtr flatten() const override;
  NdArray flatten_sample(const Value& sample) const override;
  std::int64_t flat_size() const override;
  SpacePtr get_action_mask_space() const override;
  Value get_no_action_mask() const override;  // tuple of the parts' masks
  bool contains(const Value& sample) const override;
  Value coerce(const Value& value, const std::string& where) const override;

 private:
  std::vector<SpacePtr> spaces_;
  std::int64_t flat_size_ = 0;
  SpacePtr flat_;
};

class Dict : public Space {
 public:
  explicit Dict(SpaceEntries spaces);  // keeps the given order; duplicate keys: InvalidArgumentError
  const SpaceEntries& spaces() const { return spaces_; }
  SpacePtr find(std::string_view key) const;       // null when missing
  const SpacePtr& at(std::string_view key) const;  // KeyError when missing

  static constexpr SpaceKind kKind = SpaceKind::dict;
  std::string type_name() const override { return "Dict"; }
  std::string str() const override;
  SpacePtr flatten() const override;
  // Sample is a map; its entries are taken in this space's key order (KeyError for a missing key).
  NdArray flatten_sample(const Value& sample) const override;
  std::int64_t flat_size() const override;
  SpacePtr get_action_mask_space() const override;
  Value get_no_action_mask() const override;  // map of the parts' masks
  bool contains(const Value& sample) const override;
  Value coerce(const Value& value, const std::string& where) const override;

 private:
  SpaceEntries spaces_;
  std::int64_t flat_size_ = 0;
  SpacePtr flat_;
};

// Spaces as JSON (the orchestration file's notation):
//   {"type": "Discrete", "n": 3}
//   {"type": "Box", "low": -1, "high": 1, "shape": [2], "dtype": "float32"}   (low/high scalars or lists)
//   {"type": "MultiDiscrete", "nvec": [3, 2]}     {"type": "MultiBinary", "n": 4} or "shape": [2, 2]
//   {"type": "Tuple", "spaces": [ ... ]}          {"type": "Dict", "spaces": {"a": ..., "b": ...}}
// `where` names the place in messages (file and field).
SpacePtr space_from_json(const Value& json, const std::string& where);
Value space_to_json(const Space& space);

}  // namespace tavrin_core::spaces
