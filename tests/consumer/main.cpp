// Loads every installed runtime library from the installed library directory: each one must find
// its own dependencies (its siblings, ONNX Runtime) through its run path alone.
#include <dlfcn.h>

#include <cstdio>
#include <string>

int main() {
  const char* const files[] = {TAVRIN_LIBRARY_FILES};
  int failures = 0;
  for (const char* file : files) {
    const std::string path = std::string(TAVRIN_INSTALLED_LIBRARY_DIR) + "/" + file;
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
      ++failures;
    }
  }
  if (failures == 0) std::printf("loaded %zu runtime libraries\n", sizeof files / sizeof files[0]);
  return failures == 0 ? 0 : 1;
}
