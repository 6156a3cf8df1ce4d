// The model-preparation helper that SkillRuntime looks up at model loading: reading a model's
// declared inputs from the file, and the checks made with them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/errors.hpp"
#include "core_api/spaces.hpp"
#include "onnx_helper/onnx_helper.hpp"
#include "support/log_capture.hpp"
#include "tests/support/skill_runtime_fixture.hpp"

namespace skill_test {
namespace {

using tavrin_inference::OnnxInputDecl;
using tavrin_inference::read_onnx_model_inputs;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::vector<std::string> names_of(const std::vector<OnnxInputDecl>& inputs) {
  std::vector<std::string> out;
  out.reserve(inputs.size());
  for (const auto& in : inputs) out.push_back(in.name);
  return out;
}

TEST(OnnxHelper, ReadsDeclaredInputsInModelOrder) {
  const auto inputs = read_onnx_model_inputs(model_fixture("name_rules"));
  EXPECT_THAT(names_of(inputs), ElementsAre("aux", "Agent_OBSERVATION_now", "observation_prev", "legal_ACTION_MASK",
                                            "action_mask_extra"));
  for (const auto& in : inputs) {
    EXPECT_TRUE(in.has_shape) << in.name;
    ASSERT_EQ(in.dims.size(), 2u) << in.name;
    EXPECT_EQ(in.dims[0], 1);
  }
  EXPECT_EQ(inputs[1].dims[1], 4);
  EXPECT_EQ(inputs[3].dims[1], 3);
}

TEST(OnnxHelper, SymbolicDimensionsAreOpen) {
  const auto inputs = read_onnx_model_inputs(model_fixture("symbolic_mask"));
  ASSERT_EQ(inputs.size(), 2u);
  EXPECT_THAT(inputs[0].dims, ElementsAre(std::optional<std::int64_t>(1), std::optional<std::int64_t>(4)));
  EXPECT_THAT(inputs[1].dims, ElementsAre(std::nullopt, std::optional<std::int64_t>(3)));
}

TEST(OnnxHelper, ModelWithLargeWeightsYieldsOnlyItsInputs) {
  // The weights of this model sit inside the graph; only the two inputs come out.
  const auto inputs = read_onnx_model_inputs(model_fixture("mlp_256x256"));
  EXPECT_THAT(names_of(inputs), ElementsAre("observations", "action_mask"));
  EXPECT_EQ(inputs[1].dims[1], 8);
}

TEST(OnnxHelper, FilesThatAreNoModelsAreRefused) {
  EXPECT_THROW(read_onnx_model_inputs(model_fixture("corrupt")), tavrin_inference::InvalidArgumentError);
  EXPECT_THROW(read_onnx_model_inputs(model_fixture("no_such_model")), tavrin_inference::FileNotFoundError);
  EXPECT_THROW(read_onnx_model_inputs(fixture_path("models")), tavrin_inference::InvalidArgumentError);
  TempDir dir;
  { std::ofstream empty(dir.path() / "empty.onnx"); }
  try {
    read_onnx_model_inputs((dir.path() / "empty.onnx").string());
    FAIL() << "an empty file passed";
  } catch (const tavrin_inference::InvalidArgumentError& e) {
    EXPECT_THAT(e.what(), HasSubstr("holds no graph"));
  }
}

TEST(OnnxHelper, MaskSizeIsCheckedAgainstTheActionSpace) {
  tavrin_test::LogCapture log;
  const auto discrete4 = std::make_shared<tavrin_core::spaces::Discrete>(4);
  const auto discrete3 = std::make_shared<tavrin_core::spaces::Discrete>(3);
  const std::string path = model_fixture("skill_discrete");
  EXPECT_NO_THROW(tavrin_ensure_onnx_model_has_action_mask(path, discrete4, nullptr));
  EXPECT_NO_THROW(tavrin_ensure_onnx_model_has_action_mask(path, nullptr, nullptr));
  EXPECT_THROW(tavrin_ensure_onnx_model_has_action_mask(path, discrete3, nullptr),
               tavrin_inference::InvalidArgumentError);
  // An open mask size cannot be compared and is accepted.
  EXPECT_NO_THROW(tavrin_ensure_onnx_model_has_action_mask(model_fixture("symbolic_mask"), discrete4, nullptr));
  EXPECT_THAT(log.messages("warning"), IsEmpty());
}

}  // namespace
}  // namespace skill_test
