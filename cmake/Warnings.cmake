# One place for the warning policy; every target of the project links it.
add_library(kelv_warnings INTERFACE)
target_compile_options(kelv_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wformat=2 -Wimplicit-fallthrough)
if(KELV_WERROR)
  target_compile_options(kelv_warnings INTERFACE -Werror)
endif()
