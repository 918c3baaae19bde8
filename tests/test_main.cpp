#include <gtest/gtest.h>

// A run in which a test skipped itself ends with 77, which CTest reports as a
// skipped test (SKIP_RETURN_CODE): a check that did not run is never counted
// as passed. Failures still end with 1.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  if (status == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0) return 77;
  return status;
}
