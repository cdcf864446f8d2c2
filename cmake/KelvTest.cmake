# kelv_add_test(NAME name SOURCES ... LIBS ...): one GoogleTest executable per directory,
# placed in build/tests and registered test by test with CTest.
function(kelv_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main kelv_warnings)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${T_NAME}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    DISCOVERY_TIMEOUT 30
    PROPERTIES ENVIRONMENT "KELV_BIN_DIR=${CMAKE_BINARY_DIR}/bin;KELV_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
