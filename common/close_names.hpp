#pragma once
// The names closest to one that was not found, for messages that point at what was probably meant:
// "'CO2' is not a sensor (closest: 'co2')". Names are compared without regard to case, by the number
// of single-character edits (insert, delete, replace, swap two neighbours) between them.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_inference {

class Map;

// Edits that turn `a` into `b`, ignoring case.
std::size_t name_distance(std::string_view a, std::string_view b);

// The candidates close enough to `name` to be a slip (one edit per four characters, at least one
// and at most three), closest first, ties in candidate order; at most `limit` of them.
std::vector<std::string> closest_names(std::string_view name, const std::vector<std::string>& candidates,
                                       std::size_t limit = 3);

// "'a', 'b', 'c'"; past `limit` names the rest is written as ", ...".
std::string quoted_names(const std::vector<std::string>& names, std::size_t limit = 8);

// For a name that was not found among `known`: "closest: 'co2'" when some are close to it, else
// "<what>: 'a', 'b', ..." (every known name, "<what>: none" when there is none).
std::string closest_or_all(std::string_view name, const std::vector<std::string>& known, std::string_view what);

// What a "... 'co2' is missing" message adds when one of the keys that did arrive is close to the
// missing one: " (got 'C02', 'temperature', ...)", close keys first, then the others in their order;
// empty when none is close.
std::string got_keys_suffix(std::string_view missing, const Map& got);

}  // namespace tavrin_inference
