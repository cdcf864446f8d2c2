# The fuzzing build: clang's libFuzzer with address and undefined-behaviour checks over the
# whole tree, so that the library code the targets reach is instrumented for coverage too.
option(KELV_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(KELV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KELV_FUZZ needs clang (for example -DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  if(NOT KELV_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KELV_FUZZ brings its own sanitizers; leave KELV_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
