# Debian's libev-dev ships no CMake package: find the header and library by hand.
find_path(LIBEV_INCLUDE_DIR ev.h)
find_library(LIBEV_LIBRARY NAMES ev)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LibEv REQUIRED_VARS LIBEV_LIBRARY LIBEV_INCLUDE_DIR)
if(LibEv_FOUND AND NOT TARGET LibEv::ev)
  add_library(LibEv::ev UNKNOWN IMPORTED)
  set_target_properties(LibEv::ev PROPERTIES
    IMPORTED_LOCATION "${LIBEV_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LIBEV_INCLUDE_DIR}")
endif()
