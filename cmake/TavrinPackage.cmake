# Install rules for the exported CMake package: an application does
#   find_package(TavrinInference REQUIRED)
#   target_link_libraries(app PRIVATE tavrin::policy_host)

include_guard(GLOBAL)
include(CMakePackageConfigHelpers)

set(TAVRIN_PACKAGE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/TavrinInference")

# The include directory exists even while no library has headers yet.
install(DIRECTORY DESTINATION "${TAVRIN_INCLUDE_INSTALL_DIR}" COMPONENT development)

install(EXPORT TavrinInferenceTargets
  NAMESPACE tavrin::
  FILE TavrinInferenceTargets.cmake
  DESTINATION "${TAVRIN_PACKAGE_INSTALL_DIR}"
  COMPONENT development)

# The consumer looks ONNX Runtime up again the same way, with the root this build used as a hint.
set(TAVRIN_ORT_HINT_ROOT "${OnnxRuntime_ROOT_DIR}")
get_property(TAVRIN_PACKAGE_LIBRARIES GLOBAL PROPERTY TAVRIN_LIBRARIES)
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/TavrinInferenceConfig.cmake.in"
  "${CMAKE_CURRENT_BINARY_DIR}/TavrinInferenceConfig.cmake"
  INSTALL_DESTINATION "${TAVRIN_PACKAGE_INSTALL_DIR}"
  PATH_VARS TAVRIN_INCLUDE_INSTALL_DIR CMAKE_INSTALL_LIBDIR
  NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(
  "${CMAKE_CURRENT_BINARY_DIR}/TavrinInferenceConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMinorVersion)

install(FILES
    "${CMAKE_CURRENT_BINARY_DIR}/TavrinInferenceConfig.cmake"
    "${CMAKE_CURRENT_BINARY_DIR}/TavrinInferenceConfigVersion.cmake"
    "${CMAKE_CURRENT_LIST_DIR}/FindOnnxRuntime.cmake"
  DESTINATION "${TAVRIN_PACKAGE_INSTALL_DIR}"
  COMPONENT development)
