# Helpers that give every runtime library and executable the same shape.
#
# tavrin_add_library(<name>
#     [SOURCES <file>...]        .cpp files (absolute or relative to the calling folder)
#     [HEADERS <file>...]        .hpp files, installed under include/tavrin_inference/<path in repo>
#     [PUBLIC_DEPS <target>...]  usage requirements passed on to dependants
#     [PRIVATE_DEPS <target>...]
#     [LATE_BOUND <name>...])    libraries this one looks up at run time (dlopen/dlsym) instead of
#                                linking; recorded in the TAVRIN_LATE_BOUND target property
#   Makes the SHARED library <name> (file lib<name>.so in ${CMAKE_BINARY_DIR}/lib) with the alias
#   tavrin::<name>, includes relative to the repository root ("common/nd_array.hpp"), and adds it
#   to the export set TavrinInferenceTargets.
#
# tavrin_glob(<sources_var> <headers_var> [DIRS <folder>...])
#   *.cpp and *.hpp below the given folders (default: the calling folder), re-globbed at build time.
#
# tavrin_export_interface(<target> <export_name>)
#   Puts a header-only INTERFACE target into the export set as tavrin::<export_name>.
#
# tavrin_use_runtime(<target>)
#   For executables: builds every runtime library first (the late-bound ones are not link
#   dependencies) and gives the executable the run path of the build tree and of an install.

include_guard(GLOBAL)
include(GNUInstallDirs)

set(TAVRIN_INCLUDE_INSTALL_DIR "${CMAKE_INSTALL_INCLUDEDIR}/tavrin_inference")

# Every runtime library; tests link all of them and executables depend on all of them.
define_property(GLOBAL PROPERTY TAVRIN_LIBRARIES
  BRIEF_DOCS "runtime libraries made by tavrin_add_library")
define_property(TARGET PROPERTY TAVRIN_LATE_BOUND
  BRIEF_DOCS "libraries looked up at run time by this one")

if(NOT TARGET tavrin_runtime)
  add_custom_target(tavrin_runtime)
endif()

function(tavrin_glob sources_var headers_var)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "DIRS")
  if(NOT arg_DIRS)
    set(arg_DIRS "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  set(_srcs)
  set(_hdrs)
  foreach(_dir IN LISTS arg_DIRS)
    cmake_path(ABSOLUTE_PATH _dir BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
    file(GLOB_RECURSE _s CONFIGURE_DEPENDS "${_dir}/*.cpp")
    file(GLOB_RECURSE _h CONFIGURE_DEPENDS "${_dir}/*.hpp")
    list(APPEND _srcs ${_s})
    list(APPEND _hdrs ${_h})
  endforeach()
  list(SORT _srcs)
  list(SORT _hdrs)
  set(${sources_var} "${_srcs}" PARENT_SCOPE)
  set(${headers_var} "${_hdrs}" PARENT_SCOPE)
endfunction()

function(tavrin_add_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" ""
    "SOURCES;HEADERS;PUBLIC_DEPS;PRIVATE_DEPS;LATE_BOUND")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tavrin_add_library(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()

  if(NOT arg_SOURCES)
    message(FATAL_ERROR "tavrin_add_library(${name}): no sources")
  endif()

  add_library(${name} SHARED ${arg_SOURCES})
  add_library(tavrin::${name} ALIAS ${name})
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_include_directories(${name} PUBLIC
    "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>"
    "$<INSTALL_INTERFACE:${TAVRIN_INCLUDE_INSTALL_DIR}>")
  if(arg_PUBLIC_DEPS)
    target_link_libraries(${name} PUBLIC ${arg_PUBLIC_DEPS})
  endif()
  if(arg_PRIVATE_DEPS)
    target_link_libraries(${name} PRIVATE ${arg_PRIVATE_DEPS})
  endif()
  target_link_libraries(${name} PRIVATE "$<BUILD_INTERFACE:tavrin_build_flags>")

  # All libraries sit in one directory, in the build tree and when installed; $ORIGIN in each
  # library's run path lets dlopen("libskill_factory.so") from any of them find the others. The
  # same run path serves both trees, so the build tree gets no padded (cwd-searching) run path and
  # install changes nothing.
  set_target_properties(${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY "${TAVRIN_LIBRARY_OUTPUT_DIR}"
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN"
    EXPORT_NAME ${name}
    TAVRIN_LATE_BOUND "${arg_LATE_BOUND}")
  if(TAVRIN_EXTRA_RPATH)
    set_property(TARGET ${name} APPEND PROPERTY INSTALL_RPATH ${TAVRIN_EXTRA_RPATH})
  endif()

  # Headers keep their repository path below include/tavrin_inference, so an installed
  # "#include \"common/nd_array.hpp\"" resolves like it does in the tree.
  foreach(_hdr IN LISTS arg_HEADERS)
    cmake_path(ABSOLUTE_PATH _hdr BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
    cmake_path(RELATIVE_PATH _hdr BASE_DIRECTORY "${PROJECT_SOURCE_DIR}" OUTPUT_VARIABLE _rel)
    cmake_path(GET _rel PARENT_PATH _rel_dir)
    install(FILES "${_hdr}" DESTINATION "${TAVRIN_INCLUDE_INSTALL_DIR}/${_rel_dir}"
            COMPONENT development)
  endforeach()

  install(TARGETS ${name} EXPORT TavrinInferenceTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)

  set_property(GLOBAL APPEND PROPERTY TAVRIN_LIBRARIES tavrin::${name})
  add_dependencies(tavrin_runtime ${name})
endfunction()

# Puts an INTERFACE target into the export set as tavrin::<export_name> (for example tavrin::asio).
function(tavrin_export_interface target export_name)
  add_library(tavrin::${export_name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  install(TARGETS ${target} EXPORT TavrinInferenceTargets)
endfunction()

# Writes tavrin_test_paths.txt into the current binary folder: the paths that the test and benchmark
# programs built there read at run time (tests/support/test_paths.hpp). No build path is compiled
# into them, so that checkouts at different places share their compiled objects.
function(tavrin_write_program_paths)
  file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/tavrin_test_paths.txt" CONTENT
"source_dir=${PROJECT_SOURCE_DIR}
test_data_dir=${PROJECT_SOURCE_DIR}/tests/fixtures
lib_dir=${TAVRIN_LIBRARY_OUTPUT_DIR}
tool_path=$<TARGET_FILE:tavrin>
")
endfunction()

function(tavrin_use_runtime target)
  add_dependencies(${target} tavrin_runtime)
  target_link_libraries(${target} PRIVATE tavrin_build_flags)
  # One relocatable run path for the build tree (relative to the executable's own folder) and for
  # an install (bin/ next to lib/).
  get_target_property(_out ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT _out)
    set(_out "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  file(RELATIVE_PATH _rel "${_out}" "${TAVRIN_LIBRARY_OUTPUT_DIR}")
  set(_rpath "$ORIGIN/${_rel}" "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}" ${TAVRIN_EXTRA_RPATH})
  list(REMOVE_DUPLICATES _rpath)
  set_target_properties(${target} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "${_rpath}")
endfunction()
