#pragma once
// Decoding of a model's action-distribution inputs (one flat row, laid out as RLlib lays out the
// inputs of its action distributions) into a concrete action of an action space.
//
// ActionDecoder carries the decoding operation of the skill processor. It is a mix-in with no state
// and no other members, so a processor can derive from it next to BaseAgentProcessor; a subclass
// that overrides _decode_action_dist_inputs also decodes the sub-spaces of Tuple and Dict with its
// override, since the composite kinds recurse through the virtual call.
#include <cstdint>
#include <string>
#include <utility>

#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_inference {

namespace spaces = tavrin_core::spaces;

// Get the space type name, robust against dual-path import issues: the kind is told by the name the
// space reports, never by C++ type identity, so a space type that reaches us through a second copy
// of the space library still decodes.
std::string _space_type_name(const spaces::Space& action_space);

class ActionDecoder {
 public:
  ActionDecoder() = default;
  ActionDecoder(const ActionDecoder&) = default;
  ActionDecoder& operator=(const ActionDecoder&) = default;
  virtual ~ActionDecoder() = default;

  // Decode RLlib action distribution inputs into a concrete action structure.
  //
  // Reads `action_dist_inputs` (a 1-D row, float32 or float64; integer rows work alike) from
  // `offset` on and returns the action together with the position after the entries it consumed:
  //   "Discrete"       n entries            -> integer, index of the first maximum (NaN is largest)
  //   "Box"            2 x size entries     -> means clipped to [-1, 1], of the space's shape and dtype
  //   "MultiDiscrete"  sum(nvec) entries    -> int64 array of the space's shape, one argmax per entry
  //   "MultiBinary"    size entries         -> int8 array of the space's shape, 1 where logit > 0
  //   "Tuple"/"Dict"   their sub-spaces'    -> tuple / map (in the space's order) of sub-actions
  //   any other name   the rest of the row  -> 1-D float32 array; position = row length
  // A range that runs past the end of the row yields the entries that exist; an empty argmax range
  // or a short Box/MultiBinary range raises InvalidArgumentError, a space object that reports a kind
  // name without being that kind's class raises KeyError (missing attribute). A row that is not
  // 1-D, or a negative offset, raises InvalidArgumentError. Changes neither the row nor the space.
  // An override should keep the default `offset = 0`: default arguments follow the static type.
  virtual std::pair<Value, std::int64_t> _decode_action_dist_inputs(const NdArray& action_dist_inputs,
                                                                    const spaces::Space& action_space,
                                                                    std::int64_t offset = 0) const;
};

}  // namespace tavrin_inference
