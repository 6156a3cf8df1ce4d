#pragma once
// How values cross between a process and its workers: JSON, with tagged objects for what plain
// JSON cannot tell apart (tuples, arrays with their element type and shape, maps whose keys start
// with '$', non-finite floats). docs/remote-protocol.md describes the encoding.
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/value.hpp"

namespace tavrin_core::remote {

using Json = nlohmann::ordered_json;

// TypeError for values that cannot travel (objects such as proxies).
Json encode_value(const tavrin_inference::Value& value);
// InvalidArgumentError naming the path of what is malformed ("args[1].$ndarray.shape").
tavrin_inference::Value decode_value(const Json& json, std::string_view path = "value");

}  // namespace tavrin_core::remote
