#include "common/close_names.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

#include "common/value.hpp"

namespace tavrin_inference {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

std::size_t name_distance(std::string_view a, std::string_view b) {
  // Three rows of the edit table are enough: a swap looks two rows back.
  const std::size_t m = b.size();
  std::vector<std::size_t> before(m + 1), previous(m + 1), current(m + 1);
  for (std::size_t j = 0; j <= m; ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      const bool same = lower(a[i - 1]) == lower(b[j - 1]);
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
        current[j] = std::min(current[j], before[j - 2] + 1);
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[m];
}

std::vector<std::string> closest_names(std::string_view name, const std::vector<std::string>& candidates,
                                       std::size_t limit) {
  // Slips of the keyboard are a few edits, whatever the length: long names that share a prefix and a
  // suffix are otherwise all "close".
  const std::size_t allowed = std::clamp<std::size_t>(name.size() / 4, 1, 3);
  std::vector<std::pair<std::size_t, const std::string*>> close;
  for (const auto& candidate : candidates) {
    if (candidate == name) continue;  // the name itself is not a suggestion
    const std::size_t d = name_distance(name, candidate);
    if (d <= allowed) close.emplace_back(d, &candidate);
  }
  std::stable_sort(close.begin(), close.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> out;
  for (std::size_t i = 0; i < close.size() && i < limit; ++i) out.push_back(*close[i].second);
  return out;
}

std::string quoted_names(const std::vector<std::string>& names, std::size_t limit) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    if (i == limit) return text + "...";
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

std::string closest_or_all(std::string_view name, const std::vector<std::string>& known, std::string_view what) {
  const std::vector<std::string> close = closest_names(name, known);
  if (!close.empty()) return "closest: " + quoted_names(close);
  return std::string(what) + ": " + (known.empty() ? std::string("none") : quoted_names(known));
}

std::string got_keys_suffix(std::string_view missing, const Map& got) {
  std::vector<std::string> keys;
  keys.reserve(got.size());
  for (const auto& entry : got) keys.push_back(entry.first);
  std::vector<std::string> ordered = closest_names(missing, keys, keys.size());
  if (ordered.empty()) return "";
  for (auto& key : keys) {
    if (std::find(ordered.begin(), ordered.end(), key) == ordered.end()) ordered.push_back(std::move(key));
  }
  return " (got " + quoted_names(ordered, 6) + ")";
}

}  // namespace tavrin_inference
