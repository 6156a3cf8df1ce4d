#pragma once
// Run configuration, built from a configuration map: each entry of the map is a named field.
#include <string>
#include <string_view>

#include "common/value.hpp"

namespace tavrin_core {

class TrainerConfig {
 public:
  TrainerConfig() = default;
  explicit TrainerConfig(tavrin_inference::Map fields) : fields_(std::move(fields)) {}

  const tavrin_inference::Map& fields() const { return fields_; }
  bool has(std::string_view name) const { return fields_.contains(name); }
  // The field's value; none when the field was not given.
  const tavrin_inference::Value& get(std::string_view name) const;
  // The "target" field: map of target name to a map holding at least "address" ("host:port").
  const tavrin_inference::Value& target() const { return get("target"); }

 private:
  tavrin_inference::Map fields_;
};

}  // namespace tavrin_core
