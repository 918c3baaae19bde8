# The target of this directory, with absolute paths so that attach.cmake can
# include it from the top-level directory as well.
if(NOT DEFINED RD_GTEST_LIBS)
  set(RD_GTEST_LIBS GTest::gtest GTest::gmock)
endif()
rd_add_test(winsoak_tests ${CMAKE_CURRENT_LIST_DIR}/winsoak_test.cpp)
target_link_libraries(winsoak_tests PRIVATE raroredoziri_server psapi)
add_dependencies(winsoak_tests RaroreDoziri)
target_compile_definitions(winsoak_tests PRIVATE RD_SERVER_DLL="$<TARGET_FILE:RaroreDoziri>")
set_target_properties(winsoak_tests PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/soak_win)
