#pragma once
// Error kinds of the runtime. Every kind derives from Error (the general kind), so a handler that
// tolerates "any error" catches Error and lets everything else (bad_alloc, cancellation) pass.
#include <exception>
#include <stdexcept>
#include <string>

namespace tavrin_inference {

std::string describe(const std::exception& error);

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  // Name of the kind, as shown to users ("RuntimeError", "KeyError", ...).
  virtual const char* kind() const noexcept { return "Error"; }
  // "KeyError: message", then "\n  caused by: Kind: message" for every error nested in this one
  // (std::throw_with_nested); what() stays the message alone.
  std::string describe() const { return tavrin_inference::describe(*this); }
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

// Error::describe() for any exception: errors of other libraries show their message without a kind.
inline std::string describe(const std::exception& error) {
  const auto* own = dynamic_cast<const Error*>(&error);
  std::string text = own ? std::string(own->kind()) + ": " + error.what() : std::string(error.what());
  try {
    std::rethrow_if_nested(error);
  } catch (const std::exception& cause) {
    text += "\n  caused by: " + describe(cause);
  } catch (...) {
    text += "\n  caused by: unknown error";
  }
  return text;
}

}  // namespace tavrin_inference
