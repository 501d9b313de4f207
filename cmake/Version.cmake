# The generated version header and the Windows version resources, from the one version
# text of the project (see the top of CMakeLists.txt).
math(EXPR QMD5820_VERSION_NUMBER
     "(${PROJECT_VERSION_MAJOR} << 16) | (${QMD5820_VERSION_LOW_WORD} & 0xFFFF)" OUTPUT_FORMAT HEXADECIMAL)
# The numeric parts without leading zeros (a resource's FILEVERSION takes plain integers).
foreach(part MAJOR MINOR PATCH TWEAK)
  math(EXPR QMD5820_VERSION_${part} "${PROJECT_VERSION_${part}} + 0")
endforeach()

set(QMD5820_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qmd5820_version.h.in
               ${QMD5820_GENERATED_DIR}/qmd5820_version.h @ONLY)

# Gives a Windows target a version resource (file and product version, description, file
# name). Does nothing elsewhere.
function(qmd5820_version_resource target description file_name)
  if(NOT WIN32)
    return()
  endif()
  set(QMD5820_RC_DESCRIPTION "${description}")
  set(QMD5820_RC_FILE_NAME "${file_name}")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(QMD5820_RC_FILE_TYPE VFT_DLL)
  else()
    set(QMD5820_RC_FILE_TYPE VFT_APP)
  endif()
  set(rc ${QMD5820_GENERATED_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
