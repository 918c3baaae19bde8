# For scripts/quality.sh winsoak: given as CMAKE_PROJECT_RaroreDoziri_INCLUDE,
# adds this directory at the end of the top-level CMakeLists.txt unless the
# test tree added it already.
function(rd_attach_soak_win)
  if(NOT TARGET winsoak_tests)
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/soak_win ${CMAKE_BINARY_DIR}/tests/soak_win)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL rd_attach_soak_win)
