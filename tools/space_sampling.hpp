#pragma once
// Random samples of spaces, for synthetic observations: the same seed gives the same samples.
#include <random>

#include "common/value.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_tool {

// A sample of `space` in its own representation: an integer for Discrete, an array of the space's
// dtype and shape for Box (uniform within finite bounds; half-bounded and unbounded elements are
// drawn around their bound or zero), MultiDiscrete (int64) and MultiBinary (int8), a tuple for
// Tuple and a map for Dict. InvalidArgumentError for a space of another kind.
tavrin_inference::Value sample_space(const tavrin_core::spaces::Space& space, std::mt19937_64& rng);

}  // namespace tavrin_tool
