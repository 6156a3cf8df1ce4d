// Inputs the fuzz targets (fuzz/) found faults with, kept as plain test cases so the ordinary build
// guards the fixes; each is also in the target's seed corpus under fuzz/corpus/. The committed
// orchestration corpus is replayed as a whole: every file loads or is refused with an error of the
// runtime's own kinds that names the file.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/errors.hpp"
#include "common/nd_array.hpp"
#include "common/value.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "processor/skillkit.hpp"
#include "support/test_paths.hpp"

namespace {

namespace fs = std::filesystem;
namespace sp = tavrin_core::spaces;
using namespace tavrin_core;
using namespace tavrin_inference;
using ::testing::HasSubstr;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The message of the InvalidArgumentError that parsing `text` raises ("" when it loads).
std::string load_error(const std::string& text) {
  try {
    Orchestration::parse(text, "regression.json", "/nonexistent");
  } catch (const InvalidArgumentError& e) {
    return e.what();
  }
  return "";
}

std::string with_action_space(const std::string& space) {
  return R"({"id": "r", "agents": [{"name": "a", "kind": "Agent", "action_space": )" + space + "}]}";
}

// ---- orchestration loader ---------------------------------------------------------------------

TEST(FuzzRegressionOrchestration, DeepNestingIsRefusedQuicklyInsteadOfExhaustingTheStack) {
  // 100 000 nested lists used to overflow the stack while the document was converted (and building
  // the field paths took quadratic time). Now the parser stops at the limit with the place named.
  const std::size_t depth = 100000;
  const std::string lists =
      R"({"id": "x", "sim_sensor_space": )" + std::string(depth, '[') + std::string(depth, ']') + "}";
  EXPECT_THAT(load_error(lists), HasSubstr("regression.json: sim_sensor_space"));
  EXPECT_THAT(load_error(lists), HasSubstr("nested deeper than 64 levels"));

  std::string objects = R"({"id": "x", "agents": [{"name": "a", "kind": "Agent", "action_space": )";
  for (std::size_t i = 0; i < depth; ++i) objects += R"({"a": )";
  objects += "1" + std::string(depth, '}') + "}]}";
  EXPECT_THAT(load_error(objects), HasSubstr("nested deeper than 64 levels"));
}

TEST(FuzzRegressionOrchestration, NumbersBeyondTheRangeOfADoubleAreMalformedJson) {
  EXPECT_EQ(load_error("9e308"), "regression.json: malformed JSON: number overflow parsing '9e308'");
  EXPECT_THAT(load_error(R"({"id": 1e999})"),
              ::testing::StartsWith("regression.json: malformed JSON: number overflow"));
}

TEST(FuzzRegressionOrchestration, NestedSpacesWithinTheLimitStillLoad) {
  std::string space = R"({"type": "Discrete", "n": 2})";
  for (int i = 0; i < 25; ++i) space = std::string(R"({"type": "Tuple", "spaces": [)").append(space).append("]}");
  const auto orchestration = Orchestration::parse(with_action_space(space), "regression.json", "/nonexistent");
  EXPECT_EQ(orchestration->get_top_agent()->get_action_space()->flat_size(), 2);
}

TEST(FuzzRegressionOrchestration, HugeSpacesAreRefusedWithTheFieldNamed) {
  // Discrete(2**63 - 1) escaped as std::length_error; nvec [9e18, 9e18] overflowed its element count;
  // a Box of shape (2**32, 2**32, 2**32) wrapped to 0 elements and loaded as if it were empty.
  for (const std::string space : {
           R"({"type": "Discrete", "n": 9223372036854775807})",
           R"({"type": "Discrete", "n": 16777217})",
           R"({"type": "MultiDiscrete", "nvec": [9e18, 9e18]})",
           R"({"type": "Box", "low": 0, "high": 1, "shape": [4294967296, 4294967296, 4294967296]})",
           R"({"type": "Box", "low": 0, "high": 1, "shape": [65536, 65536]})",
           R"({"type": "MultiBinary", "shape": [4294967296, 4294967296]})",
       }) {
    const std::string message = load_error(with_action_space(space));
    EXPECT_THAT(message, HasSubstr("regression.json: agents[0].action_space")) << space;
    EXPECT_THAT(message, HasSubstr("more")) << space;
  }
  EXPECT_THAT(load_error(with_action_space(R"({"type": "Discrete", "n": 3, "start": 9223372036854775806})")),
              HasSubstr("start + n"));
}

TEST(FuzzRegressionOrchestration, MultiDiscreteEntriesOutsideTheIntegerRangeAreRefusedBeforeConversion) {
  // nvec [8e38, 9e18] passed the positive-integer check and was converted to int64 although 8e38 is
  // beyond its range (undefined behaviour); a negative one did the same while its message was built.
  const std::string where = "regression.json: agents[0].action_space.nvec";
  struct Case {
    const char* nvec;
    const char* message;
  };
  for (const Case& c : {
           Case{"[8e38, 9e18]", ": 8e+38 at index 0 is more elements than a space may have (16777216)"},
           Case{"[2, 9e18]", ": 9000000000000000000 at index 1 is more elements than a space may have"},
           Case{"[[1, 2], [3, 9223372036854775807]]", ": 9223372036854775807 at index 3 is more elements"},
           Case{"[-9223372036854775808]", ": expected positive integers, got -9223372036854775808 at index 0"},
           Case{"[9.3e18]", ": 9.3e+18 at index 0 is more elements"},
           Case{"[16777217]", ": 16777217 at index 0 is more elements than a space may have"},
           Case{"[1e300, 2]", ": 1e+300 at index 0 is more elements"},
           Case{"[3, -8e38]", ": expected positive integers, got -8e+38 at index 1"},
           Case{"[3, -9.5e18]", ": expected positive integers, got -9.5e+18 at index 1"},
           Case{"[3, -4]", ": expected positive integers, got -4 at index 1"},
           Case{R"([[2, 3], [4, "inf"]])", ": expected positive integers, got inf at index 3"},
           Case{"[2.5]", ": expected positive integers, got 2.5 at index 0"},
       }) {
    EXPECT_THAT(load_error(with_action_space(R"({"type": "MultiDiscrete", "nvec": )" + std::string(c.nvec) + "}")),
                HasSubstr(where + c.message))
        << c.nvec;
  }
  // The largest entry that can be allowed still loads.
  const auto orchestration = Orchestration::parse(with_action_space(R"({"type": "MultiDiscrete", "nvec": [16777216]})"),
                                                  "regression.json", "/nonexistent");
  EXPECT_EQ(orchestration->get_top_agent()->get_action_space()->flat_size(), 16777216);
}

TEST(FuzzRegressionOrchestration, SpaceSizeLimitHoldsForDirectConstruction) {
  EXPECT_THROW(sp::Discrete(std::int64_t{1} << 40), InvalidArgumentError);
  EXPECT_THROW(sp::MultiBinary(Shape{std::int64_t{1} << 32, std::int64_t{1} << 32}), InvalidArgumentError);
  EXPECT_THROW(sp::Box(0.0, 1.0, Shape{std::int64_t{1} << 32, std::int64_t{1} << 32, 4}), InvalidArgumentError);
  EXPECT_THROW(sp::MultiDiscrete(NdArray::from_vector<std::int64_t>({std::numeric_limits<std::int64_t>::max(), 2})),
               InvalidArgumentError);
  // Zero-sized dimensions make an empty space however large the others are.
  EXPECT_EQ(sp::MultiBinary(Shape{std::int64_t{1} << 40, 0}).flat_size(), 0);
}

TEST(FuzzRegressionOrchestration, EveryCorpusFileLoadsOrIsRefusedWithItsName) {
  const fs::path corpus = fs::path(tavrin_test::source_dir()) / "fuzz" / "corpus" / "orchestration";
  ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
  int files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const std::string name = entry.path().filename().string();
    try {
      Orchestration::parse(read_file(entry.path()), name, "/nonexistent");
    } catch (const tavrin_inference::Error& e) {
      EXPECT_THAT(e.what(), ::testing::StartsWith(name)) << name;
    } catch (const std::exception& e) {
      ADD_FAILURE() << name << ": not an error of the runtime's kinds: " << e.what();
    }
  }
  EXPECT_GT(files, 10);
}

// ---- mask helpers -----------------------------------------------------------------------------

TEST(FuzzRegressionMasks, AlignRefusesTargetSizesBeyondTheIntegerRange) {
  // 1e300 was converted to an integer unchecked (undefined behaviour).
  const NdArray mask = NdArray::from_vector<std::int8_t>({1, 0, 1});
  for (const double size : {1e300, -1e300, 9.3e18, -9.3e18, 9223372036854775808.0}) {
    EXPECT_THROW(BaseAgentProcessor::_align_mask_length(mask, Value(size)), InvalidArgumentError) << size;
  }
  const NdArray two = BaseAgentProcessor::_align_mask_length(mask, Value(2.9));
  ASSERT_EQ(two.size(), 2);
  EXPECT_EQ(two.dtype(), DType::int8);
  EXPECT_EQ(two.data<std::int8_t>()[1], 0);
}

}  // namespace
