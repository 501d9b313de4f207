# The installed Linux library as a consumer sees it (cmake -P): install the build into a
# fresh prefix; check the SONAME and both pkg-config modules; copy the installed examples
# out, as their README tells a user to, and build every one of them with the installed
# Makefile (pkg-config) and with the installed CMakeLists.txt (find_package), each as ISO
# C11 with warnings as errors, and run them; build one by the README's one-line command;
# run the README's first-screen C program and Python lines; and check the package version
# through a find_package consumer.
# Variables: BUILD_DIR, WORK_DIR, SOURCE_DIR (the repository), C_COMPILER, PYTHON, VERSION
# (the project's version text) and VERSION_MAJOR (its first number).
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/install_check.cmake)
fresh_install()
set(installed_examples ${prefix}/share/qmd5820/examples)
foreach(file include/QMD5820.h include/qmd5820_texts.h lib/libQMD5820.so lib/libQMD5820sim.so
             lib/pkgconfig/qmd5820.pc lib/pkgconfig/qmd5820-sim.pc
             lib/cmake/QMD5820/QMD5820Config.cmake
             share/qmd5820/examples/README.md share/qmd5820/examples/CMakeLists.txt
             share/qmd5820/examples/Makefile share/qmd5820/examples/example.h)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "the installation lacks ${file}")
  endif()
endforeach()

# The SONAME follows the first number of the version; pkg-config reports the version text.
execute_process(COMMAND readelf -d ${prefix}/lib/libQMD5820.so OUTPUT_VARIABLE dynamic)
string(REGEX MATCH "Library soname: \\[([^]]*)\\]" soname_line "${dynamic}")
if(NOT CMAKE_MATCH_1 STREQUAL "libQMD5820.so.${VERSION_MAJOR}")
  message(FATAL_ERROR "SONAME is '${CMAKE_MATCH_1}', expected libQMD5820.so.${VERSION_MAJOR}")
endif()
if(NOT EXISTS ${prefix}/lib/libQMD5820.so.${VERSION_MAJOR})
  message(FATAL_ERROR "the installation lacks lib/libQMD5820.so.${VERSION_MAJOR}")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
foreach(module qmd5820 qmd5820-sim)
  execute_process(COMMAND pkg-config --modversion ${module} OUTPUT_VARIABLE pc_version
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT pc_version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config reports version '${pc_version}' of ${module}, expected ${VERSION}")
  endif()
endforeach()
# The simulator's module names what it needs: the library and the simulator.
execute_process(COMMAND pkg-config --libs qmd5820-sim OUTPUT_VARIABLE sim_libs
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT sim_libs MATCHES "-lQMD5820sim" OR NOT sim_libs MATCHES "-lQMD5820( |$)")
  message(FATAL_ERROR "pkg-config --libs qmd5820-sim gives '${sim_libs}'")
endif()

# The user's copy of the examples, every .c one program.
set(copy ${WORK_DIR}/examples)
file(COPY ${installed_examples}/ DESTINATION ${copy})
file(GLOB sources RELATIVE ${copy} ${copy}/*.c)
list(LENGTH sources count)
if(count LESS 7)
  message(FATAL_ERROR "the installation has ${count} C examples: ${sources}")
endif()
set(strict "-std=c11 -Wall -Wextra -Werror")

# The README's one-line build: pkg-config names everything a program on the simulated
# board needs.
execute_process(COMMAND pkg-config --cflags --libs qmd5820 qmd5820-sim OUTPUT_VARIABLE flags
                RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know qmd5820 qmd5820-sim")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(strict_list UNIX_COMMAND "${strict}")
run("cc ${strict} list_boards.c with pkg-config" ${C_COMPILER} ${strict_list}
    ${copy}/list_boards.c ${flags} -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/list_boards_pc)
run("the one-line build runs" ${WORK_DIR}/list_boards_pc)

# The installed Makefile, given the path on its command line as the README shows.
find_program(MAKE_PROGRAM NAMES make gmake REQUIRED)
unset(ENV{PKG_CONFIG_PATH})
run("make (the installed Makefile)" ${MAKE_PROGRAM} -C ${copy} CC=${C_COMPILER} "CFLAGS=${strict}"
    PKG_CONFIG_PATH=${prefix}/lib/pkgconfig)
foreach(source ${sources})
  get_filename_component(name ${source} NAME_WE)
  run("${name}, built by make, runs" ${copy}/${name})
endforeach()

# The installed CMakeLists.txt.
run("configure the installed CMakeLists.txt" ${CMAKE_COMMAND} -S ${copy} -B ${WORK_DIR}/examples_cmake
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DQMD5820_EXAMPLES_WERROR=ON)
run("build the examples with CMake" ${CMAKE_COMMAND} --build ${WORK_DIR}/examples_cmake)
foreach(source ${sources})
  get_filename_component(name ${source} NAME_WE)
  run("${name}, built by CMake, runs" ${WORK_DIR}/examples_cmake/${name})
endforeach()

# The README's first screen, as a newcomer runs it against this installation: its C program
# built by its pkg-config line (the simulated transducer at its zero), its Python lines
# (the transducer moved to 1.25 mm first).
file(READ ${SOURCE_DIR}/README.md readme)
string(REGEX MATCH "```c\n([^`]*)```" c_block "${readme}")
string(REGEX MATCH "python3 -c '([^']*)'" python_block "${readme}")
if(NOT c_block OR NOT python_block)
  message(FATAL_ERROR "README.md: no C program or python3 -c lines found on its first screen")
endif()
string(REGEX MATCH "```c\n([^`]*)```" c_block "${readme}")
file(WRITE ${WORK_DIR}/reading.c "${CMAKE_MATCH_1}")
string(REGEX MATCH "python3 -c '([^']*)'" python_block "${readme}")
set(python_code "${CMAKE_MATCH_1}")
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs qmd5820 OUTPUT_VARIABLE readme_flags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(readme_flags UNIX_COMMAND "${readme_flags}")
run("the README's C program builds" ${C_COMPILER} -std=c11 ${WORK_DIR}/reading.c ${readme_flags}
    -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/reading)
execute_process(COMMAND ${WORK_DIR}/reading OUTPUT_VARIABLE out RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT out MATCHES "^channel 0: 0\.0000 mm")
  message(FATAL_ERROR "the README's C program printed '${out}' (exit ${result})")
endif()
message(STATUS "the README's C program runs: ${out}")
set(ENV{PYTHONPATH} ${prefix}/lib/python3/site-packages)
execute_process(COMMAND ${PYTHON} -c "${python_code}" OUTPUT_VARIABLE out ERROR_VARIABLE err
                RESULT_VARIABLE result)
unset(ENV{PYTHONPATH})
if(NOT result EQUAL 0 OR NOT out MATCHES "^channel 0: 1\.2500 mm")
  message(FATAL_ERROR "the README's Python lines printed '${out}${err}' (exit ${result})")
endif()
message(STATUS "the README's Python lines run: ${out}")

# The package's version as find_package reports it.
run("configure the package consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/linux_sdk
    -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DEXAMPLE=${copy}/sequence_acquisition.c -DEXPECTED_VERSION=${VERSION}
    -DCMAKE_C_COMPILER=${C_COMPILER})
run("build the package consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run("the package build runs" ${WORK_DIR}/consumer/sequence_acquisition_package)
