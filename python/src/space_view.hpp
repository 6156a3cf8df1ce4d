#pragma once
// Python views of the core library's spaces and sensors, which are shared as const objects.
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"

namespace tavrin_python {

struct SpaceView {
  tavrin_core::spaces::SpacePtr space;
};

struct SensorView {
  tavrin_core::SensorPtr sensor;
};

}  // namespace tavrin_python
