// Observation-line parser on arbitrary text: a line either parses, and then every value it gave can be
// written as an action line (which, for the sensors, reads back to the same text), or it is refused
// with an InvalidArgumentError naming the line; anything else (another exception, a crash, a
// sanitizer report, a hang) is a finding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/value.hpp"
#include "fuzz/fuzz_support.hpp"
#include "tools/observation_lines.hpp"

namespace {

using tavrin_inference::Value;
using tavrin_tool::ObservationLine;

using fuzz_support::fail;

std::string formatted(const Value& v, const char* what) {
  try {
    return tavrin_tool::format_action_line(v);
  } catch (const std::exception& e) {
    fail(std::string("format_action_line of the parsed ") + what + " threw: " + e.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  constexpr std::size_t kLine = 17;
  ObservationLine parsed;
  try {
    parsed = tavrin_tool::parse_observation_line(line, kLine);
  } catch (const tavrin_inference::InvalidArgumentError& e) {
    if (std::string_view(e.what()).rfind("line 17: ", 0) != 0) fail(std::string("error without its line: ") + e.what());
    return 0;
  }
  if (parsed.line_number != kLine) fail("line number not kept");
  if (!parsed.obs.is_map()) fail(std::string("obs is a ") + parsed.obs.kind_name() + ", not a map");
  const std::string obs_text = formatted(parsed.obs, "obs");
  if (!parsed.mask.is_none()) (void)formatted(parsed.mask, "mask");
  if (!parsed.previous_action.is_none()) (void)formatted(parsed.previous_action, "previous action");

  // The sensors written out read back as a bare line (unless a sensor name is one of the envelope's
  // fields, "obs", "mask" or "previous_action": the bare form cannot hold those, and such a line is
  // refused as an envelope without "obs") and give the same text again.
  const auto& sensors = parsed.obs.as_map();
  if (sensors.contains("obs") || sensors.contains("mask") || sensors.contains("previous_action")) return 0;
  ObservationLine again;
  try {
    again = tavrin_tool::parse_observation_line(obs_text, kLine);
  } catch (const tavrin_inference::Error& e) {
    fail("formatted sensors " + obs_text + " do not read back: " + e.what());
  }
  const std::string again_text = formatted(again.obs, "re-read obs");
  if (again_text != obs_text) fail("sensors " + obs_text + " read back as " + again_text);
  return 0;
}
