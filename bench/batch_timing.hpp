#pragma once
// How the benchmarks compare sides (the runtime against bare sessions, TLS against plaintext ...):
// batches of every side in an order that rotates, and the median batch of each.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include <benchmark/benchmark.h>

namespace batch_timing {

// The median of `v` (0 when empty): a batch that another process interrupted says nothing about
// any side.
inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Every iteration of `state` runs each side once, as one batch, starting one side later than the
// iteration before, so that machine noise hits all sides alike; the iteration's time is that of its
// batches (for UseManualTime). Returns the seconds of every batch, per side.
template <std::size_t N>
std::array<std::vector<double>, N> rotating_batches(benchmark::State& state,
                                                    const std::array<std::function<void()>, N>& sides) {
  using clock = std::chrono::steady_clock;
  std::array<std::vector<double>, N> seconds;
  std::size_t first = 0;
  for ([[maybe_unused]] auto _ : state) {
    const auto iteration_start = clock::now();
    for (std::size_t turn = 0; turn < N; ++turn) {
      const std::size_t side = (first + turn) % N;
      const auto start = clock::now();
      sides[side]();
      seconds[side].push_back(std::chrono::duration<double>(clock::now() - start).count());
    }
    first = (first + 1) % N;
    state.SetIterationTime(std::chrono::duration<double>(clock::now() - iteration_start).count());
  }
  return seconds;
}

}  // namespace batch_timing
