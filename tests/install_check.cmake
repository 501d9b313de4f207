# Shared by the install checks (cmake -P scripts): `run` executes a step and stops the
# check with its output when it fails; `fresh_install` installs BUILD_DIR into a new
# prefix under WORK_DIR and sets `prefix`.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok")
endfunction()

macro(fresh_install)
  set(prefix ${WORK_DIR}/prefix)
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${WORK_DIR})
  run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endmacro()
