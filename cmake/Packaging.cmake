# Installing like a tool: both programs, a manual page for each, the kelvmon systemd unit and
# the package's documents; `cpack -G DEB` turns the same install into kelv_<version>_amd64.deb.
include(GNUInstallDirs)

# The one version of the programs is the one kelv --version prints.
file(STRINGS ${CMAKE_SOURCE_DIR}/kelv/version.h version_line REGEX "VERSION_TEXT\\[\\] = \"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" KELV_VERSION "${version_line}")
if(NOT KELV_VERSION MATCHES "^[0-9][0-9A-Za-z.+~]*$")
  message(FATAL_ERROR "No version found in kelv/version.h")
endif()

set(packaging_out ${CMAKE_BINARY_DIR}/packaging)
string(TIMESTAMP KELV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(compressed_docs)
foreach(doc kelv.1 kelvmon.1 changelog)
  set(source ${CMAKE_SOURCE_DIR}/packaging/${doc})
  if(doc STREQUAL "changelog")
    set(source ${source}.in)
  endif()
  configure_file(${source} ${packaging_out}/${doc} @ONLY)
  # Debian keeps manual pages and change logs compressed, without a time stamp in the file.
  add_custom_command(OUTPUT ${packaging_out}/${doc}.gz
    COMMAND gzip -9nkf ${packaging_out}/${doc}
    DEPENDS ${packaging_out}/${doc}
    COMMENT "Compressing ${doc}")
  list(APPEND compressed_docs ${packaging_out}/${doc}.gz)
endforeach()
add_custom_target(kelv_docs ALL DEPENDS ${compressed_docs})

install(TARGETS kelv kelvmon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${packaging_out}/kelv.1.gz ${packaging_out}/kelvmon.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${packaging_out}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The unit names the installed program, so it is written at install time, when the prefix
# (/usr for the package) is known.
install(CODE "
  file(READ \"${CMAKE_SOURCE_DIR}/packaging/kelvmon.service\" unit)
  string(REPLACE \"/usr/bin/kelvmon\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kelvmon\"
    unit \"\${unit}\")
  set(unit_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  message(STATUS \"Installing: \${unit_dir}/kelvmon.service\")
  file(MAKE_DIRECTORY \"\${unit_dir}\")
  file(WRITE \"\${unit_dir}/kelvmon.service\" \"\${unit}\")
")

set(CPACK_PACKAGE_NAME kelv)
set(CPACK_PACKAGE_VERSION ${KELV_VERSION})
set(CPACK_PACKAGE_CONTACT "kelv maintainers <maintainers@users.noreply.c-seed-6bc38c69.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP/1.1 load generator and its machine monitor")
# cpack indents these lines and marks the empty one as a paragraph break.
set(CPACK_PACKAGE_DESCRIPTION "kelv measures the throughput and latency of web servers and APIs over http
and https, from many connections over several I/O threads, and reports
requests, errors, latency percentiles, bandwidth and CPU use as text or CSV.

kelvmon runs on the machine under test and tells kelv the CPU use of the
whole machine, of its busiest processor and of chosen processes, its memory
use and its network traffic.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR DEB)
include(CPack)

# The package as a user meets it. A sanitized build makes no package worth checking.
if(NOT KELV_SANITIZE)
  add_test(NAME package COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-package ${CMAKE_BINARY_DIR})
  set_tests_properties(package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
