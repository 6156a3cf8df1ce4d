#include "core_api/trainer_config.hpp"

namespace tavrin_core {

const tavrin_inference::Value& TrainerConfig::get(std::string_view name) const {
  static const tavrin_inference::Value absent;
  const auto* v = fields_.find(name);
  return v ? *v : absent;
}

}  // namespace tavrin_core
