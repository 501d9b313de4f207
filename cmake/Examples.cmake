# The examples inside the library's tree (examples/CMakeLists.txt builds them, here and in
# an installed copy): ctest runs each of them on the simulated board, and the installation
# carries them with their README and both build files (CMake and a pkg-config Makefile).
# Every examples/*.c is one C example, every examples/python/*.py one Python example.
file(GLOB QMD5820_C_EXAMPLE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.c)
file(GLOB QMD5820_PY_EXAMPLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/python/*.py)

# On Linux every example runs against the simulated board: the C programs, then the
# Python ones through the package in python/ (the plot is skipped without matplotlib).
if(QMD5820_BUILD_TESTS AND NOT WIN32 AND NOT QMD5820_SANITIZE)
  foreach(source ${QMD5820_C_EXAMPLE_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_test(NAME example_${name} COMMAND ${name})
    # The examples change the simulated boards; under ctest they keep no state file, so a
    # test run never touches the user's simulated boards.
    set_tests_properties(example_${name} PROPERTIES TIMEOUT 60 ENVIRONMENT QMD5820_SIM_STATE=off)
  endforeach()
  foreach(script ${QMD5820_PY_EXAMPLES})
    get_filename_component(name ${script} NAME_WE)
    add_test(NAME example_py_${name} COMMAND ${QMD5820_PYTHON} ${script}
             WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/examples)
    set_tests_properties(example_py_${name} PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77
      ENVIRONMENT "QMD5820_SIM_STATE=off;QMD5820_LIBRARY=$<TARGET_FILE:QMD5820>;PYTHONPATH=${PROJECT_SOURCE_DIR}/python;PYTHONDONTWRITEBYTECODE=1")
  endforeach()
endif()

if(NOT WIN32)
  include(GNUInstallDirs)
  set(QMD5820_EXAMPLES_DESTINATION ${CMAKE_INSTALL_DATADIR}/qmd5820/examples)
  install(FILES ${QMD5820_C_EXAMPLE_SOURCES}
                ${PROJECT_SOURCE_DIR}/examples/example.h
                ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
                ${PROJECT_SOURCE_DIR}/examples/Makefile
                ${PROJECT_SOURCE_DIR}/examples/README.md
          DESTINATION ${QMD5820_EXAMPLES_DESTINATION})
  install(FILES ${QMD5820_PY_EXAMPLES} DESTINATION ${QMD5820_EXAMPLES_DESTINATION}/python)
endif()
