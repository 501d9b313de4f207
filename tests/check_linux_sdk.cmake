# The installed Linux library as a consumer sees it (cmake -P): install the build into a
# fresh prefix, build the sequence acquisition example (which also moves the simulated
# transducers) through pkg-config and through find_package(QMD5820), and run both.
# Variables: BUILD_DIR, WORK_DIR, SOURCE_DIR (the repository), C_COMPILER, VERSION (the
# project's version text) and VERSION_MAJOR (its first number).
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/install_check.cmake)
fresh_install()
foreach(file include/QMD5820.h include/qmd5820_texts.h lib/libQMD5820.so lib/libQMD5820sim.so lib/pkgconfig/qmd5820.pc
             lib/cmake/QMD5820/QMD5820Config.cmake)
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
execute_process(COMMAND pkg-config --modversion qmd5820 OUTPUT_VARIABLE pc_version
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config reports version '${pc_version}', expected ${VERSION}")
endif()

set(example ${SOURCE_DIR}/examples/sequence_acquisition.c)
# Through pkg-config, as a Makefile would.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs qmd5820 OUTPUT_VARIABLE flags
                RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know qmd5820")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
# The example drives the simulated board's control API too: -lQMD5820sim beside it.
run("cc with pkg-config" ${C_COMPILER} -std=c11 ${example} ${flags} -lQMD5820sim -Wl,-rpath,${prefix}/lib
    -o ${WORK_DIR}/sequence_acquisition_pc)
run("the pkg-config build runs" ${WORK_DIR}/sequence_acquisition_pc)

# Through the CMake package.
run("configure the package consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/linux_sdk
    -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix} -DEXAMPLE=${example} -DEXPECTED_VERSION=${VERSION}
    -DCMAKE_C_COMPILER=${C_COMPILER})
run("build the package consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run("the package build runs" ${WORK_DIR}/consumer/sequence_acquisition_package)
