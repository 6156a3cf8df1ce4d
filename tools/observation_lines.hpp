#pragma once
// Observation lines: the text format in which `tavrin run` and `tavrin bench` read observations, one
// JSON object per line, and the format of the action lines `tavrin run` writes.
//
// A line is one of
//   {"temperature": [21.5], "occupancy": 1}                  the sensors, by name
//   {"obs": {"temperature": [21.5]}, "mask": [1, 0, 1]}      the sensors and the simulator's mask
// An object with an "obs" field is always the second form: it may hold only "obs" (an object),
// "mask" (an array or object of numbers, or null for no mask) and "previous_action" (a number, an
// array or object of numbers, or null; handed to the host as the previous action). A bare object
// without "obs" holds sensors only, so sensors named "obs", "mask" or "previous_action" need the
// second form. Sensor values are numbers,
// booleans, or arrays / objects of those (no text, no null). Leading and trailing blanks, a final
// carriage return and a byte order mark are ignored; an empty line is an error like any other.
//
// This unit depends only on the value type, the JSON parser and the strict-JSON checks, so it can be
// built on its own.
#include <cstddef>
#include <string>
#include <string_view>

#include "common/value.hpp"

namespace tavrin_tool {

struct ObservationLine {
  std::size_t line_number = 0;
  tavrin_inference::Value obs;              // a map: sensor name -> value, in the line's order
  tavrin_inference::Value mask;             // the simulator's action mask; none when the line gives none
  tavrin_inference::Value previous_action;  // none when the line gives none
};

// Deepest nesting of arrays and objects accepted in one line.
inline constexpr std::size_t kMaxObservationDepth = 64;

// Parses one line. InvalidArgumentError "line <n>: <what is wrong>" for malformed JSON (with the
// column, counted in characters from 1), a value that is not an object, unknown envelope fields,
// duplicate fields, text or null values, numbers out of range and nesting deeper than
// kMaxObservationDepth.
ObservationLine parse_observation_line(std::string_view line, std::size_t line_number);

// One action as a JSON text without line break: arrays as nested lists (integer arrays as integers),
// tuples as lists, maps as objects, none as null.
std::string format_action_line(const tavrin_inference::Value& action);

}  // namespace tavrin_tool
