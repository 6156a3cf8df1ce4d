#pragma once
// Late binding between the runtime's shared libraries: a library that refers back to another one
// (the factory and the processors, the host and the factory) finds it when it is first needed
// instead of linking against it, so no two libraries depend on each other at load time.
#include <string>

namespace tavrin_inference {

// Address of `symbol` in the runtime library `library` (for example "skill_factory" for
// libskill_factory.so): taken from the library when it is already loaded, else loaded from the folder
// of the runtime's own libraries, else through the system's search path. RuntimeError naming the
// library, the symbol and the loader's message when neither works.
void* bind_symbol(const std::string& library, const std::string& symbol);

// The same, as the function of type Fn that the library exports under that name.
template <class Fn>
Fn* bind_function(const std::string& library, const std::string& symbol) {
  return reinterpret_cast<Fn*>(bind_symbol(library, symbol));
}

// An entry point that one runtime library exports for the others to bind when they first need it:
// the library (named as bind_symbol takes it), the exported symbol and the entry point's type Fn.
template <class Fn>
struct LateBoundEntry {
  const char* library;
  const char* symbol;

  // The entry point's address; RuntimeError as from bind_symbol.
  Fn* bind() const { return bind_function<Fn>(library, symbol); }
};

}  // namespace tavrin_inference
