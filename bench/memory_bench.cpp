// Heap use of a packaged hierarchy over a million steps: it must stay flat.
//
// This program replaces the global operator new and delete (every form), so every C++ allocation of
// the process, in this program and in every library it loads, is counted: live bytes (by the
// allocator's usable size), allocation calls and bytes requested. It also interposes malloc and its
// siblings (forwarding to glibc's own entry points) to count the allocations made without operator new. malloc's own
// bookkeeping (mallinfo2) adds what ONNX Runtime and others take with malloc directly.
//
// BM_LiveHeap steps tests/fixtures/hierarchy/three_level.json through PolicyHost (a coroutine on
// the application's io_context awaiting `execute`), first kWarmup steps, then the measured steps,
// and reports as counters:
//   live_growth_per_step   (live operator-new bytes after - before) / steps; must be 0
//   live_growth_bytes      the same in bytes
//   max_live_growth_bytes  the largest growth seen at any of ten checkpoints during the run
//   malloc_growth_bytes    growth of malloc's bytes in use (mallinfo2().uordblks) over the run
//   allocs_per_step        operator-new calls per step (the per-step allocation load)
//   own_allocs_per_step    allocations per step not made by ONNX Runtime's code: operator-new calls
//                          and direct malloc-family calls (Asio takes coroutine frames that way)
//                          whose caller lies outside libonnxruntime. Conservative: a call that ONNX
//                          Runtime makes through a libstdc++ function (a std::string growing, say)
//                          counts as ours.
//   alloc_bytes_per_step   bytes requested from operator new per step
// The argument is the number of measured steps: ten thousand (a quick look, e.g. under valgrind,
// with --benchmark_filter=BM_LiveHeap/10000/) and a million.
#include <link.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <benchmark/benchmark.h>

#include "bench/hierarchy_support.hpp"

// glibc's own entry points of its allocator, which the interposed functions below forward to.
// NOLINTBEGIN(bugprone-reserved-identifier): these are glibc's names, not ours
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {

std::atomic<std::int64_t> live_bytes{0};
std::atomic<std::int64_t> alloc_calls{0};
std::atomic<std::int64_t> alloc_bytes{0};
std::atomic<std::int64_t> ort_alloc_calls{0};
std::atomic<std::int64_t> malloc_calls{0};  // malloc-family calls not made by our operator new
std::atomic<std::int64_t> ort_malloc_calls{0};

// Address ranges of ONNX Runtime's loaded segments, found once ONNX Runtime is loaded.
struct CodeRange {
  std::uintptr_t begin = 0, end = 0;
};
CodeRange ort_ranges[8];
std::atomic<int> ort_range_count{0};

void find_ort_ranges() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void*) {
        if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libonnxruntime.so") == nullptr) return 0;
        int n = 0;
        for (int i = 0; i < info->dlpi_phnum && n < 8; ++i) {
          if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
          const std::uintptr_t begin = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
          ort_ranges[n++] = {begin, begin + info->dlpi_phdr[i].p_memsz};
        }
        ort_range_count.store(n);
        return 1;
      },
      nullptr);
}

bool called_from_ort(const void* return_address) {
  const auto a = reinterpret_cast<std::uintptr_t>(return_address);
  const int n = ort_range_count.load(std::memory_order_relaxed);
  for (int i = 0; i < n; ++i) {
    if (a >= ort_ranges[i].begin && a < ort_ranges[i].end) return true;
  }
  return false;
}

void* counted_alloc(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* p = nullptr;
  // glibc's own entry points, so that the interposed malloc below does not count these again.
  p = alignment <= alignof(std::max_align_t) ? __libc_malloc(size) : __libc_memalign(alignment, size);
  if (p == nullptr) return nullptr;
  live_bytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  alloc_calls.fetch_add(1, std::memory_order_relaxed);
  alloc_bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  return p;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  live_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  __libc_free(p);
}

void* alloc_or_throw(std::size_t size, std::size_t alignment) {
  void* p = counted_alloc(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

#define TAVRIN_NOTE_CALLER() \
  if (called_from_ort(__builtin_return_address(0))) ort_alloc_calls.fetch_add(1, std::memory_order_relaxed)

void* operator new(std::size_t size) {
  TAVRIN_NOTE_CALLER();
  return alloc_or_throw(size, 0);
}
void* operator new[](std::size_t size) {
  TAVRIN_NOTE_CALLER();
  return alloc_or_throw(size, 0);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_alloc(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted_alloc(size, 0); }
void* operator new(std::size_t size, std::align_val_t al) {
  TAVRIN_NOTE_CALLER();
  return alloc_or_throw(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al) {
  return alloc_or_throw(size, static_cast<std::size_t>(al));
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  return counted_alloc(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  return counted_alloc(size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { counted_free(p); }

// The malloc family, counted by caller and forwarded to glibc.
#define TAVRIN_NOTE_MALLOC_CALLER()                                                                             \
  do {                                                                                                          \
    malloc_calls.fetch_add(1, std::memory_order_relaxed);                                                       \
    if (called_from_ort(__builtin_return_address(0))) ort_malloc_calls.fetch_add(1, std::memory_order_relaxed); \
  } while (false)

extern "C" {
void* malloc(std::size_t size) {
  TAVRIN_NOTE_MALLOC_CALLER();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  TAVRIN_NOTE_MALLOC_CALLER();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  TAVRIN_NOTE_MALLOC_CALLER();
  return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  TAVRIN_NOTE_MALLOC_CALLER();
  return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  TAVRIN_NOTE_MALLOC_CALLER();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  TAVRIN_NOTE_MALLOC_CALLER();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) { __libc_free(p); }
}

namespace {

using hierarchy_bench::fixture;
using hierarchy_bench::SteppedHost;
using tavrin_inference::Value;

constexpr std::int64_t kWarmup = 10'000;
constexpr int kCheckpoints = 10;

void BM_LiveHeap(benchmark::State& state) {
  const std::int64_t steps = state.range(0);
  SteppedHost runtime(fixture("hierarchy/three_level.json"));
  const Value obs = hierarchy_bench::path_to_mid_leaf1().value();
  if (runtime.step(obs, 1) != Value(1)) {
    state.SkipWithError("the hierarchy did not choose leaf 1");
    return;
  }
  runtime.step(obs, kWarmup);
  find_ort_ranges();

  for ([[maybe_unused]] auto _ : state) {
    const std::int64_t live_before = live_bytes.load();
    const std::int64_t calls_before = alloc_calls.load();
    const std::int64_t ort_calls_before = ort_alloc_calls.load();
    const std::int64_t malloc_before_calls = malloc_calls.load();
    const std::int64_t ort_malloc_before = ort_malloc_calls.load();
    const std::int64_t bytes_before = alloc_bytes.load();
    const auto malloc_before = static_cast<std::int64_t>(mallinfo2().uordblks);
    std::int64_t max_growth = 0;
    const std::int64_t chunk = std::max<std::int64_t>(1, steps / kCheckpoints);
    for (std::int64_t done = 0; done < steps; done += chunk) {
      runtime.step(obs, std::min(chunk, steps - done));
      max_growth = std::max(max_growth, live_bytes.load() - live_before);
    }
    const std::int64_t growth = live_bytes.load() - live_before;
    const auto malloc_growth = static_cast<std::int64_t>(mallinfo2().uordblks) - malloc_before;
    const auto n = static_cast<double>(steps);
    state.counters["live_growth_per_step"] = static_cast<double>(growth) / n;
    state.counters["live_growth_bytes"] = static_cast<double>(growth);
    state.counters["max_live_growth_bytes"] = static_cast<double>(max_growth);
    state.counters["malloc_growth_bytes"] = static_cast<double>(malloc_growth);
    state.counters["allocs_per_step"] = static_cast<double>(alloc_calls.load() - calls_before) / n;
    const std::int64_t own_new = (alloc_calls.load() - calls_before) - (ort_alloc_calls.load() - ort_calls_before);
    const std::int64_t own_malloc =
        (malloc_calls.load() - malloc_before_calls) - (ort_malloc_calls.load() - ort_malloc_before);
    state.counters["own_allocs_per_step"] = static_cast<double>(own_new + own_malloc) / n;
    state.counters["alloc_bytes_per_step"] = static_cast<double>(alloc_bytes.load() - bytes_before) / n;
  }
}

BENCHMARK(BM_LiveHeap)->Arg(10'000)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
