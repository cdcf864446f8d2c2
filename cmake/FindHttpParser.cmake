# Debian's libhttp-parser-dev ships no CMake package: find the header and library by hand.
find_path(HTTP_PARSER_INCLUDE_DIR http_parser.h)
find_library(HTTP_PARSER_LIBRARY NAMES http_parser)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(HttpParser REQUIRED_VARS HTTP_PARSER_LIBRARY HTTP_PARSER_INCLUDE_DIR)
if(HttpParser_FOUND AND NOT TARGET HttpParser::http_parser)
  add_library(HttpParser::http_parser UNKNOWN IMPORTED)
  set_target_properties(HttpParser::http_parser PROPERTIES
    IMPORTED_LOCATION "${HTTP_PARSER_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${HTTP_PARSER_INCLUDE_DIR}")
endif()
