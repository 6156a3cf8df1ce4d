#include "common/late_binding.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "common/errors.hpp"

#ifndef TAVRIN_SHARED_LIBRARY_PREFIX
#define TAVRIN_SHARED_LIBRARY_PREFIX "lib"
#endif
#ifndef TAVRIN_SHARED_LIBRARY_SUFFIX
#define TAVRIN_SHARED_LIBRARY_SUFFIX ".so"
#endif

namespace tavrin_inference {
namespace {

std::string own_library_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&bind_symbol), &info) == 0 || info.dli_fname == nullptr) return {};
  return std::filesystem::path(info.dli_fname).parent_path().string();
}

}  // namespace

void* bind_symbol(const std::string& library, const std::string& symbol) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const std::string file = TAVRIN_SHARED_LIBRARY_PREFIX + library + TAVRIN_SHARED_LIBRARY_SUFFIX;
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
