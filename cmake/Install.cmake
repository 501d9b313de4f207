# Installation. On Windows `cmake --install` lays out the SDK:
#   bin/      QMD5820.dll, qmd5820.exe
#   lib/      libQMD5820.dll.a (MinGW import library), QMD5820.lib (MSVC import library),
#             QMD5820.def, cmake/QMD5820/ (package: find_package(QMD5820) gives QMD5820::QMD5820)
#   include/  QMD5820.h and qmd5820_texts.h (the backend and simulator headers are not part
#             of the Windows SDK)
# On Linux it installs libQMD5820.so and libQMD5820sim.so (the simulated board it runs on),
# the four headers, the qmd5820 tool, a CMake package (QMD5820::QMD5820, and
# QMD5820::sim for the simulator's control API) and pkg-config files (qmd5820.pc, and
# qmd5820-sim.pc for the simulator's control API).
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

if(NOT WIN32)
  set_target_properties(QMD5820 PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS QMD5820 QMD5820sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(TARGET qmd5820)
    set_target_properties(qmd5820 PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS qmd5820 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/include/QMD5820.h
                ${PROJECT_SOURCE_DIR}/include/qmd5820_texts.h
                ${PROJECT_SOURCE_DIR}/include/qmd5820_backend.h
                ${PROJECT_SOURCE_DIR}/include/qmd5820sim.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set(QMD5820_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QMD5820)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QMD5820ConfigLinux.cmake.in
                                ${PROJECT_BINARY_DIR}/QMD5820Config.cmake
                                INSTALL_DESTINATION ${QMD5820_CONFIG_DIR}
                                PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/QMD5820ConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/QMD5820Config.cmake
                ${PROJECT_BINARY_DIR}/QMD5820ConfigVersion.cmake
          DESTINATION ${QMD5820_CONFIG_DIR})
  file(RELATIVE_PATH QMD5820_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qmd5820.pc.in ${PROJECT_BINARY_DIR}/qmd5820.pc @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qmd5820-sim.pc.in ${PROJECT_BINARY_DIR}/qmd5820-sim.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qmd5820.pc ${PROJECT_BINARY_DIR}/qmd5820-sim.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  return()
endif()

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
install(FILES ${PROJECT_SOURCE_DIR}/include/QMD5820.h ${PROJECT_SOURCE_DIR}/include/qmd5820_texts.h
        DESTINATION include)

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
