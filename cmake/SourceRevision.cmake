# The source revision is read at every build, not only at configure time, so that the
# version output names the commit that was actually built.
add_custom_target(kelv_source_revision
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DOUTPUT=${CMAKE_BINARY_DIR}/generated/source_revision.cc
    -P ${CMAKE_SOURCE_DIR}/cmake/WriteSourceRevision.cmake
  BYPRODUCTS ${CMAKE_BINARY_DIR}/generated/source_revision.cc
  COMMENT "Recording the source revision")
set_source_files_properties(${CMAKE_BINARY_DIR}/generated/source_revision.cc PROPERTIES GENERATED TRUE)
add_library(kelv_revision STATIC ${CMAKE_BINARY_DIR}/generated/source_revision.cc)
add_dependencies(kelv_revision kelv_source_revision)
target_include_directories(kelv_revision PUBLIC ${CMAKE_SOURCE_DIR})
