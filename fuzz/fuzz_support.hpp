#pragma once
// What every fuzz target shares: how a broken invariant ends the run.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_support {

// Reports the broken invariant and aborts, so that the fuzzer keeps the input that broke it.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "invariant violated: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz_support
