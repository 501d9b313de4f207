# Installation. On Windows `cmake --install` lays out the SDK:
#   bin/      QMD5820.dll, qmd5820.exe
#   lib/      libQMD5820.dll.a (MinGW import library), QMD5820.lib (MSVC import library),
#             QMD5820.def, cmake/QMD5820/ (package: find_package(QMD5820) gives QMD5820::QMD5820)
#   include/  QMD5820.h (the backend and simulator headers are not part of the Windows SDK)
if(NOT WIN32)
  return()
endif()

include(CMakePackageConfigHelpers)

# MSVC-style import library, made from the .def (short import objects, as lib.exe makes
# them); the MinGW one, libQMD5820.dll.a, comes with the DLL.
find_program(QMD5820_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
set(QMD5820_MSVC_IMPORT_LIBRARY ${PROJECT_BINARY_DIR}/QMD5820.lib)
add_custom_command(
  OUTPUT ${QMD5820_MSVC_IMPORT_LIBRARY}
  COMMAND ${QMD5820_LLVM_DLLTOOL} -m i386:x86-64 -d ${PROJECT_SOURCE_DIR}/cmake/QMD5820.def
          -D QMD5820.dll -l ${QMD5820_MSVC_IMPORT_LIBRARY}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/QMD5820.def
  COMMENT "MSVC import library QMD5820.lib"
  VERBATIM)
add_custom_target(QMD5820_msvc_import_library ALL DEPENDS ${QMD5820_MSVC_IMPORT_LIBRARY})

install(TARGETS QMD5820 RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
if(TARGET qmd5820)
  install(TARGETS qmd5820 RUNTIME DESTINATION bin)
endif()
install(FILES ${QMD5820_MSVC_IMPORT_LIBRARY} ${PROJECT_SOURCE_DIR}/cmake/QMD5820.def
        DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/QMD5820.h DESTINATION include)

set(QMD5820_CONFIG_DIR lib/cmake/QMD5820)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QMD5820Config.cmake.in
                              ${PROJECT_BINARY_DIR}/QMD5820Config.cmake
                              INSTALL_DESTINATION ${QMD5820_CONFIG_DIR})
# Checks the version and that the consumer builds for x64 too.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QMD5820ConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QMD5820Config.cmake
              ${PROJECT_BINARY_DIR}/QMD5820ConfigVersion.cmake
        DESTINATION ${QMD5820_CONFIG_DIR})
