# For scripts/quality.sh winsoak: given as CMAKE_PROJECT_RaroreDoziri_INCLUDE,
# adds this directory's test at the end of the top-level CMakeLists.txt
# unless the test tree added it already.
function(rd_attach_soak_win)
  if(WIN32 AND TARGET RaroreDoziri AND NOT TARGET winsoak_tests)
    include(${CMAKE_SOURCE_DIR}/tests/soak_win/winsoak.cmake)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL rd_attach_soak_win)
