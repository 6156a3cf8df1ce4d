# FindOnnxRuntime
# ---------------
# Finds ONNX Runtime and provides the imported target onnxruntime::onnxruntime (C/C++ API headers,
# libonnxruntime.so).
#
# Places searched, first match wins:
#   1. a system install: an onnxruntime CMake package, the pkg-config module libonnxruntime, or the
#      headers and library in the default search paths;
#   2. ONNXRUNTIME_ROOT (CMake cache variable, else environment variable), laid out as
#      <root>/include[/onnxruntime] and <root>/lib;
#   then OnnxRuntime_HINT_ROOT if set (the installed package passes the root it was built with);
#   3. the cache filled by scripts/setup.sh:
#      ${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-inference/onnxruntime-<OnnxRuntime_PINNED_VERSION>.
#
# Result variables:
#   OnnxRuntime_FOUND, OnnxRuntime_VERSION ("1.<ORT_API_VERSION>", read from the C header; the
#   patch level is not recorded there), OnnxRuntime_INCLUDE_DIR, OnnxRuntime_LIBRARY,
#   OnnxRuntime_LIBRARY_DIR (the directory binaries need in their run path), OnnxRuntime_ORIGIN
#   ("system", "ONNXRUNTIME_ROOT", "package hint" or "setup cache"), OnnxRuntime_ROOT_DIR (the root
#   it was found under; empty for a system install).

include(FindPackageHandleStandardArgs)

if(NOT DEFINED OnnxRuntime_PINNED_VERSION)
  set(OnnxRuntime_PINNED_VERSION 1.21.0)
endif()

set(ONNXRUNTIME_ROOT "$ENV{ONNXRUNTIME_ROOT}" CACHE PATH
    "ONNX Runtime install root (include/, lib/), used when no system install is found")

# Reads the API version out of the C header so a mismatched install is reported, not miscompiled.
function(_onnxruntime_version_from_header include_dir out_var)
  set(_header "${include_dir}/onnxruntime_c_api.h")
  if(EXISTS "${_header}")
    file(STRINGS "${_header}" _line REGEX "^#define ORT_API_VERSION [0-9]+")
    if(_line MATCHES "ORT_API_VERSION ([0-9]+)")
      set(${out_var} "1.${CMAKE_MATCH_1}" PARENT_SCOPE)
      return()
    endif()
  endif()
  set(${out_var} "" PARENT_SCOPE)
endfunction()

# Records where the header and library were found, for this and later configures.
function(_onnxruntime_record include_dir library origin root)
  set(OnnxRuntime_INCLUDE_DIR "${include_dir}" CACHE PATH "ONNX Runtime headers" FORCE)
  set(OnnxRuntime_LIBRARY "${library}" CACHE FILEPATH "ONNX Runtime library" FORCE)
  set(OnnxRuntime_ORIGIN "${origin}" CACHE INTERNAL "")
  set(OnnxRuntime_ROOT_DIR "${root}" CACHE INTERNAL "")
endfunction()

# Looks for the header and library under one root only.
function(_onnxruntime_try_root root origin)
  if(OnnxRuntime_INCLUDE_DIR AND OnnxRuntime_LIBRARY OR root STREQUAL "")
    return()
  endif()
  unset(_ort_inc)
  unset(_ort_lib)
  find_path(_ort_inc onnxruntime_cxx_api.h
            PATHS "${root}/include" "${root}/include/onnxruntime" NO_DEFAULT_PATH NO_CACHE)
  find_library(_ort_lib NAMES onnxruntime PATHS "${root}/lib" "${root}/lib64"
               NO_DEFAULT_PATH NO_CACHE)
  if(_ort_inc AND _ort_lib)
    _onnxruntime_record("${_ort_inc}" "${_ort_lib}" "${origin}" "${root}")
  endif()
endfunction()

# A previous configure's choice stays valid only while its files are still there and
# ONNXRUNTIME_ROOT is unchanged.
if(NOT "${ONNXRUNTIME_ROOT}" STREQUAL "${_OnnxRuntime_ROOT_SEEN}")
  unset(OnnxRuntime_INCLUDE_DIR CACHE)
  unset(OnnxRuntime_LIBRARY CACHE)
  set(_OnnxRuntime_ROOT_SEEN "${ONNXRUNTIME_ROOT}" CACHE INTERNAL "")
endif()
if(OnnxRuntime_INCLUDE_DIR AND NOT EXISTS "${OnnxRuntime_INCLUDE_DIR}/onnxruntime_cxx_api.h")
  unset(OnnxRuntime_INCLUDE_DIR CACHE)
endif()
if(OnnxRuntime_LIBRARY AND NOT EXISTS "${OnnxRuntime_LIBRARY}")
  unset(OnnxRuntime_LIBRARY CACHE)
endif()

# 1. System install.
if(NOT TARGET onnxruntime::onnxruntime AND NOT (OnnxRuntime_INCLUDE_DIR AND OnnxRuntime_LIBRARY))
  find_package(onnxruntime CONFIG QUIET)
  if(TARGET onnxruntime::onnxruntime)
    get_target_property(_ort_cfg_inc onnxruntime::onnxruntime INTERFACE_INCLUDE_DIRECTORIES)
    unset(_ort_inc)
    unset(_ort_lib)
    find_path(_ort_inc onnxruntime_cxx_api.h PATHS ${_ort_cfg_inc}
              PATH_SUFFIXES onnxruntime NO_DEFAULT_PATH NO_CACHE)
    get_target_property(_ort_cfgs onnxruntime::onnxruntime IMPORTED_CONFIGURATIONS)
    set(_ort_loc_props IMPORTED_LOCATION)
    foreach(_cfg IN LISTS _ort_cfgs)
      list(APPEND _ort_loc_props IMPORTED_LOCATION_${_cfg})
    endforeach()
    foreach(_prop IN LISTS _ort_loc_props)
      get_target_property(_ort_lib onnxruntime::onnxruntime ${_prop})
      if(_ort_lib)
        break()
      endif()
    endforeach()
    if(_ort_inc)
      set(OnnxRuntime_INCLUDE_DIR "${_ort_inc}" CACHE PATH "ONNX Runtime headers" FORCE)
    endif()
    if(_ort_lib)
      set(OnnxRuntime_LIBRARY "${_ort_lib}" CACHE FILEPATH "ONNX Runtime library" FORCE)
    endif()
    set(OnnxRuntime_ORIGIN "system" CACHE INTERNAL "")
    set(OnnxRuntime_ROOT_DIR "" CACHE INTERNAL "")
  endif()
endif()

if(NOT TARGET onnxruntime::onnxruntime AND NOT (OnnxRuntime_INCLUDE_DIR AND OnnxRuntime_LIBRARY))
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(_ORT_PC QUIET libonnxruntime)
  endif()
  unset(_ort_inc)
  unset(_ort_lib)
  find_path(_ort_inc onnxruntime_cxx_api.h HINTS ${_ORT_PC_INCLUDE_DIRS}
            PATH_SUFFIXES onnxruntime NO_CACHE)
  find_library(_ort_lib NAMES onnxruntime HINTS ${_ORT_PC_LIBRARY_DIRS} NO_CACHE)
  if(_ort_inc AND _ort_lib)
    _onnxruntime_record("${_ort_inc}" "${_ort_lib}" "system" "")
  endif()
endif()

# 2. ONNXRUNTIME_ROOT, 3. the setup cache.
if(NOT TARGET onnxruntime::onnxruntime)
  _onnxruntime_try_root("${ONNXRUNTIME_ROOT}" "ONNXRUNTIME_ROOT")
  if(OnnxRuntime_HINT_ROOT)
    _onnxruntime_try_root("${OnnxRuntime_HINT_ROOT}" "package hint")
  endif()
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_ort_cache_base "$ENV{XDG_CACHE_HOME}")
  else()
    set(_ort_cache_base "$ENV{HOME}/.cache")
  endif()
  _onnxruntime_try_root(
    "${_ort_cache_base}/tavrin-inference/onnxruntime-${OnnxRuntime_PINNED_VERSION}" "setup cache")
endif()

if(OnnxRuntime_INCLUDE_DIR)
  _onnxruntime_version_from_header("${OnnxRuntime_INCLUDE_DIR}" OnnxRuntime_VERSION)
endif()
if(OnnxRuntime_LIBRARY)
  get_filename_component(OnnxRuntime_LIBRARY_DIR "${OnnxRuntime_LIBRARY}" DIRECTORY)
endif()

find_package_handle_standard_args(OnnxRuntime
  REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR
  VERSION_VAR OnnxRuntime_VERSION
  REASON_FAILURE_MESSAGE
    "run scripts/setup.sh, or set ONNXRUNTIME_ROOT to a directory with include/ and lib/")

if(OnnxRuntime_FOUND AND NOT TARGET onnxruntime::onnxruntime)
  add_library(onnxruntime::onnxruntime SHARED IMPORTED)
  set_target_properties(onnxruntime::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
endif()

mark_as_advanced(OnnxRuntime_INCLUDE_DIR OnnxRuntime_LIBRARY)
