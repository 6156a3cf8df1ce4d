# Script (cmake -P): installs the build tree into a scratch prefix, then configures, builds and
# runs the consumer project against that install only, without LD_LIBRARY_PATH.
#   -DBUILD_DIR=<our build tree> -DSOURCE_DIR=<consumer project> -DWORK_DIR=<scratch dir>
#   [-DGENERATOR=<generator>] [-DCXX_COMPILER=<compiler>] [-DSANITIZE=<list>]
#   [-DPYTHON=<interpreter> -DPYTHON_DIR=<package folder below the prefix>]
# A sanitized install needs a sanitized application, so SANITIZE is passed on.

foreach(var BUILD_DIR SOURCE_DIR WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is required")
  endif()
endforeach()

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${step} failed (${rc})")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
set(build "${WORK_DIR}/build")
# A fresh prefix each time, so a file dropped from the install is noticed.
file(REMOVE_RECURSE "${prefix}")

run("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

set(configure_args -S "${SOURCE_DIR}" -B "${build}" "-DCMAKE_PREFIX_PATH=${prefix}"
    -DCMAKE_BUILD_TYPE=Release)
if(GENERATOR)
  list(APPEND configure_args -G "${GENERATOR}")
endif()
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
if(SANITIZE)
  list(APPEND configure_args "-DCMAKE_CXX_FLAGS=-fsanitize=${SANITIZE}"
       "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=${SANITIZE}")
endif()
run("consumer configure" "${CMAKE_COMMAND}" ${configure_args})
run("consumer build" "${CMAKE_COMMAND}" --build "${build}")
foreach(program all_headers tavrin_consumer)
  run("consumer ${program}" "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH "${build}/${program}")
endforeach()

# The installed example as it is, its teachers from the installed plugin: an application, then the
# installed tool.
set(example "${prefix}/share/tavrin-inference/examples/thermal/orchestration.json")
run("installed example" "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH "${build}/thermal_example" "${example}")
run("installed tool" "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH "${prefix}/bin/tavrin" inspect "${example}")

# The installed Python package, imported from the installed folder, steps the installed example.
if(PYTHON AND PYTHON_DIR)
  set(check [=[
import sys, tavrin
assert tavrin.__file__.startswith(sys.argv[2]), tavrin.__file__
with tavrin.PolicyHost() as host:
    host.load_orchestration(sys.argv[1])
    host.package()
    action = host.execute({"temperature": 15.0, "outside": 0.0, "setpoint": 21.0, "hour": 9.0, "co2": 600.0})
assert action[0] > 0.5, action
print("installed Python module: heater at", action[0])
]=])
  run("installed Python module" "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH "PYTHONPATH=${prefix}/${PYTHON_DIR}"
      "${PYTHON}" -c "${check}" "${example}" "${prefix}/${PYTHON_DIR}")
endif()
