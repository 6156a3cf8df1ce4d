#pragma once
// Python views of the core library's spaces and sensors, which are shared as const objects.
#include <pybind11/pybind11.h>

#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_python {

struct SpaceView {
  tavrin_core::spaces::SpacePtr space;
};

struct SensorView {
  tavrin_core::SensorPtr sensor;
};

// A space as a tavrin.Space, or None. Needs the Space class bound (orchestration.cpp).
inline pybind11::object optional_space(const tavrin_core::spaces::SpacePtr& space) {
  return space ? pybind11::cast(SpaceView{space}) : pybind11::none();
}

}  // namespace tavrin_python
