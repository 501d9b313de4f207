# The installed Windows SDK as a consumer sees it (cmake -P):
#   1. `cmake --install` the build into a fresh prefix and check the layout;
#   2. compile sdk_consumer.c with MinGW gcc against each import library (libQMD5820.dll.a,
#      QMD5820.lib), and with clang and LLVM's COFF linker (lld, the linker that reads import
#      libraries as MSVC's link.exe does) against QMD5820.lib; run each under Wine with
#      QMD5820.dll beside it;
#   3. configure and build sdk_project/ (find_package(QMD5820)) with the same toolchain and
#      run its program.
# Variables: BUILD_DIR, WORK_DIR, SOURCE_DIR (tests/win32), C_COMPILER, EMULATOR, TOOLCHAIN;
# CLANG (optional: the clang + lld link is skipped without it).
cmake_minimum_required(VERSION 3.25)

foreach(var BUILD_DIR WORK_DIR SOURCE_DIR C_COMPILER EMULATOR TOOLCHAIN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../install_check.cmake)

# 1. Layout.
fresh_install()
foreach(file bin/QMD5820.dll lib/libQMD5820.dll.a lib/QMD5820.lib lib/QMD5820.def
             include/QMD5820.h include/qmd5820_texts.h lib/cmake/QMD5820/QMD5820Config.cmake
             lib/cmake/QMD5820/QMD5820ConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "the SDK lacks ${file}")
  endif()
endforeach()
file(GLOB headers RELATIVE ${prefix}/include ${prefix}/include/*)
list(SORT headers)
if(NOT headers STREQUAL "QMD5820.h;qmd5820_texts.h")
  message(FATAL_ERROR "include/ holds ${headers}; only QMD5820.h and qmd5820_texts.h belong to the SDK")
endif()

# 2. Each import library with plain MinGW gcc.
foreach(kind gnu msvc)
  if(kind STREQUAL "gnu")
    set(library ${prefix}/lib/libQMD5820.dll.a)
  else()
    set(library ${prefix}/lib/QMD5820.lib)
  endif()
  set(dir ${WORK_DIR}/${kind})
  file(MAKE_DIRECTORY ${dir})
  run("link against ${library}"
      ${C_COMPILER} -std=c11 -Wall -Wextra -Werror -I${prefix}/include
      ${SOURCE_DIR}/sdk_consumer.c ${library} -o ${dir}/sdk_consumer.exe)
  file(COPY ${prefix}/bin/QMD5820.dll DESTINATION ${dir})
  run("run the program linked against ${library}" ${EMULATOR} ${dir}/sdk_consumer.exe)
endforeach()

if(CLANG)
  set(dir ${WORK_DIR}/lld)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${C_COMPILER} -print-libgcc-file-name OUTPUT_VARIABLE libgcc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(libgcc_dir ${libgcc} DIRECTORY)
  run("link against QMD5820.lib with lld"
      ${CLANG} --target=x86_64-w64-windows-gnu -fuse-ld=lld -L${libgcc_dir} -std=c11 -Wall
      -Wextra -Werror -I${prefix}/include ${SOURCE_DIR}/sdk_consumer.c ${prefix}/lib/QMD5820.lib
      -o ${dir}/sdk_consumer.exe)
  file(COPY ${prefix}/bin/QMD5820.dll DESTINATION ${dir})
  run("run the program linked by lld" ${EMULATOR} ${dir}/sdk_consumer.exe)
endif()

# 3. The CMake package.
set(project_build ${WORK_DIR}/package)
run("configure a find_package(QMD5820) project"
    ${CMAKE_COMMAND} -S ${SOURCE_DIR}/sdk_project -B ${project_build} -G Ninja
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release
    -DQMD5820_DIR=${prefix}/lib/cmake/QMD5820)
run("build the find_package(QMD5820) project" ${CMAKE_COMMAND} --build ${project_build})
run("run the find_package(QMD5820) program" ${EMULATOR} ${project_build}/sdk_consumer_package.exe)
