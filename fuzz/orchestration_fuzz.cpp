// Orchestration loader on arbitrary text: parsing either gives a consistent orchestration or throws
// one of the runtime's error kinds; anything else (a crash, another exception, a sanitizer report,
// a hang) is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/errors.hpp"
#include "core_api/orchestration.hpp"
#include "core_api/spaces.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using tavrin_core::Orchestration;
namespace spaces = tavrin_core::spaces;

using fuzz_support::fail;

// A space written to JSON and read back is the same space.
void check_round_trip(const spaces::SpacePtr& space, const std::string& where) {
  if (!space) return;
  const spaces::SpacePtr again = spaces::space_from_json(spaces::space_to_json(*space), where);
  if (again->str() != space->str()) fail(where + ": " + space->str() + " read back as " + again->str());
  if (again->flat_size() != space->flat_size()) fail(where + ": flat size changed in a round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::shared_ptr<Orchestration> orchestration;
  try {
    orchestration = Orchestration::parse(text, "fuzz.json", "/nonexistent/fuzz");
  } catch (const tavrin_inference::Error& e) {
    if (std::string(e.what()).rfind("fuzz.json", 0) != 0) fail(std::string("error without its origin: ") + e.what());
    return 0;
  }
  if (!orchestration) fail("parse returned null");
  if (orchestration->agents().empty()) fail("an orchestration without agents");
  if (!orchestration->get_top_agent()) fail("no top agent");
  for (const auto& agent : orchestration->agents()) {
    if (orchestration->get_node_by_name(agent->get_name()) != agent) fail("agent lookup by name: " + agent->get_name());
    for (const auto& child : agent->get_children()) {
      // Children named by an agent exist (the graph is checked at load time).
      (void)orchestration->get_node_by_name(child);
    }
    check_round_trip(agent->get_action_space(), "agent " + agent->get_name() + " action space");
    check_round_trip(agent->get_sim_sensor_space(), "agent " + agent->get_name() + " sim sensor space");
  }
  for (const auto& sensor : orchestration->sensors()) check_round_trip(sensor->space(), "sensor " + sensor->name());
  return 0;
}
