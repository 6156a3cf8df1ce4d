#pragma once
// Error kinds of the runtime. Every kind derives from Error (the general kind), so a handler that
// tolerates "any error" catches Error and lets everything else (bad_alloc, cancellation) pass.
#include <stdexcept>
#include <string>

namespace tavrin_inference {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  // Name of the kind, as shown to users ("RuntimeError", "KeyError", ...).
  virtual const char* kind() const noexcept { return "Error"; }
};

#define TAVRIN_ERROR_KIND(Name)                                   \
  class Name : public Error {                                     \
   public:                                                        \
    explicit Name(const std::string& message) : Error(message) {} \
    const char* kind() const noexcept override { return #Name; }  \
  };

TAVRIN_ERROR_KIND(RuntimeError)
TAVRIN_ERROR_KIND(InvalidArgumentError)
TAVRIN_ERROR_KIND(NotImplementedError)
TAVRIN_ERROR_KIND(TypeError)
TAVRIN_ERROR_KIND(KeyError)
TAVRIN_ERROR_KIND(IndexError)
TAVRIN_ERROR_KIND(FileNotFoundError)

#undef TAVRIN_ERROR_KIND

}  // namespace tavrin_inference
