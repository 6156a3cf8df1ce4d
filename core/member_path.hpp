#pragma once
// The path of a sample's member in error messages: `where.key`.
#include <string>

namespace tavrin_core {

// `where.key`, built in one allocation.
inline std::string member_path(const std::string& where, const std::string& key) {
  std::string path;
  path.reserve(where.size() + 1 + key.size());
  path.append(where).append(1, '.').append(key);
  return path;
}

}  // namespace tavrin_core
