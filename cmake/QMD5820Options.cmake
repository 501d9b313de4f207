# Warnings as errors and sanitizers for the project's own targets (not for GoogleTest).
function(qmd5820_strict target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
                                             -Wshadow -Wconversion -Wno-sign-conversion)
  endif()
  if(QMD5820_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${QMD5820_SANITIZE} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${QMD5820_SANITIZE})
  endif()
  if(QMD5820_BUILD_FUZZERS)
    # Coverage feedback from the library and the simulator, not only from the harnesses;
    # the harnesses add the fuzzer's main at link time (-fsanitize=fuzzer).
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # One self-contained binary per target: libstdc++, libgcc and winpthread linked in.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
