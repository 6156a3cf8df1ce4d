#include "common/late_binding.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>
#include <string_view>

#include "common/errors.hpp"

namespace tavrin_inference {
namespace {

// The platform's shared-library file name parts, given by the build for this file only.
constexpr std::string_view library_prefix = TAVRIN_SHARED_LIBRARY_PREFIX;
constexpr std::string_view library_suffix = TAVRIN_SHARED_LIBRARY_SUFFIX;

std::string own_library_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&bind_symbol), &info) == 0 || info.dli_fname == nullptr) return {};
  return std::filesystem::path(info.dli_fname).parent_path().string();
}

}  // namespace

void* bind_symbol(const std::string& library, const std::string& symbol) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const std::string file = std::string(library_prefix).append(library).append(library_suffix);
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
  std::string failure;
  if (handle == nullptr) {
    const std::string dir = own_library_dir();
    if (!dir.empty()) {
      const std::string path = (std::filesystem::path(dir) / file).string();
      if (std::filesystem::exists(path)) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (handle == nullptr) failure = dlerror();
      }
    }
  }
  if (handle == nullptr && failure.empty()) {
    handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) failure = dlerror();
  }
  if (handle == nullptr) throw RuntimeError("Cannot bind '" + symbol + "' of " + library + ": " + failure);
  dlerror();
  void* address = dlsym(handle, symbol.c_str());
  if (address == nullptr) {
    const char* err = dlerror();
    throw RuntimeError("Cannot bind '" + symbol + "' of " + library + ": " + (err ? err : "symbol not found"));
  }
  return address;
}

}  // namespace tavrin_inference
