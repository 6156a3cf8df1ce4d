# tavrin_build_flags: warnings and optional sanitizers for everything this project compiles. It is
# a build-only target (never exported), so consumers of the installed package get none of it.
#
#   TAVRIN_WERROR      treat warnings as errors
#   TAVRIN_SANITIZE    comma-separated -fsanitize= list, e.g. "address,undefined" (empty: none)
#
# A sanitizer preset only has to set TAVRIN_SANITIZE in its cacheVariables.

include_guard(GLOBAL)

option(TAVRIN_WERROR "Treat compiler warnings as errors" OFF)
set(TAVRIN_SANITIZE "" CACHE STRING "Sanitizers to build with, as for -fsanitize= (empty: none)")

add_library(tavrin_build_flags INTERFACE)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(tavrin_build_flags INTERFACE -Wall -Wextra -Wpedantic)
  if(TAVRIN_WERROR)
    target_compile_options(tavrin_build_flags INTERFACE -Werror)
  endif()
  if(TAVRIN_SANITIZE)
    target_compile_options(tavrin_build_flags INTERFACE
      "-fsanitize=${TAVRIN_SANITIZE}" -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(tavrin_build_flags INTERFACE "-fsanitize=${TAVRIN_SANITIZE}")
  endif()
elseif(TAVRIN_SANITIZE)
  message(FATAL_ERROR "TAVRIN_SANITIZE is supported with GCC and Clang only")
endif()

# Every symbol bound when a library or program is loaded, not on its first call: the first step of
# a control loop would otherwise pay the dynamic linker for each function it reaches first.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_link_options(tavrin_build_flags INTERFACE "LINKER:-z,now")
endif()
