#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "runner/graph_runner.hpp"

namespace tavrin_inference {

InferenceOutputs::InferenceOutputs(Names names, std::vector<NdArray> values)
    : names_(std::move(names)), values_(std::move(values)) {
  if (!names_ || names_->size() != values_.size()) {
    throw InvalidArgumentError("InferenceOutputs needs one name per value");
  }
}

const std::vector<std::string>& InferenceOutputs::names() const {
  static const std::vector<std::string> none;
  return names_ ? *names_ : none;
}

std::ptrdiff_t InferenceOutputs::index_of(std::string_view name) const {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if ((*names_)[i] == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

const NdArray* InferenceOutputs::find(std::string_view name) const {
  const auto i = index_of(name);
  return i < 0 ? nullptr : &values_[static_cast<std::size_t>(i)];
}

NdArray* InferenceOutputs::find(std::string_view name) {
  const auto i = index_of(name);
  return i < 0 ? nullptr : &values_[static_cast<std::size_t>(i)];
}

const NdArray& InferenceOutputs::at(std::string_view name) const {
  const auto* value = find(name);
  if (value == nullptr) throw KeyError("'" + std::string(name) + "'");
  return *value;
}

}  // namespace tavrin_inference
