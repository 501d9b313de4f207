# The Python package as users get it: from `cmake --install` (it finds the library of its
# installation, no environment variable) and from a wheel that bundles the library, built
# offline from the installed tree and unpacked elsewhere.
include(${SOURCE_DIR}/tests/install_check.cmake)
fresh_install()
set(ENV{QMD5820_LIBRARY} "")
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
set(ENV{QMD5820_SIM_STATE} off)  # the user's simulated boards are not touched

set(ENV{PYTHONPATH} ${prefix}/${PYTHON_DIR})
execute_process(COMMAND ${PYTHON} -m qmd5820 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "library ${prefix}/${LIB_DIR}/libQMD5820.so.${SOVERSION} "
   OR NOT out MATCHES "board 1: QMD5820-DEMO-1")
  message(FATAL_ERROR "installed package (${rc}):\n${out}\n${err}")
endif()
message(STATUS "installed package: ok")

run("wheel" ${PYTHON} ${SOURCE_DIR}/python/build_wheel.py --out ${WORK_DIR}/dist
    ${prefix}/${LIB_DIR}/libQMD5820.so.${SOVERSION} ${prefix}/${LIB_DIR}/libQMD5820sim.so.${SOVERSION})
file(GLOB wheels ${WORK_DIR}/dist/qmd5820-*-py3-none-linux_*.whl)
list(LENGTH wheels n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one platform wheel, found: ${wheels}")
endif()
file(MAKE_DIRECTORY ${WORK_DIR}/unpacked)
file(ARCHIVE_EXTRACT INPUT ${wheels} DESTINATION ${WORK_DIR}/unpacked)
file(REMOVE_RECURSE ${prefix})  # the wheel must not lean on the installation
set(ENV{PYTHONPATH} ${WORK_DIR}/unpacked)
execute_process(COMMAND ${PYTHON} -m qmd5820 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "library ${WORK_DIR}/unpacked/qmd5820/_lib/libQMD5820.so.${SOVERSION}"
   OR NOT out MATCHES "2 board")
  message(FATAL_ERROR "package from the wheel (${rc}):\n${out}\n${err}")
endif()
message(STATUS "wheel with the library: ok")
