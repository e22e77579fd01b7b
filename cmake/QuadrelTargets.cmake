# Warnings every target of ours is built with.
function(quadrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# What every test target shares: the folder of the real images and the helpers that
# find them.
function(quadrel_test_common target)
  target_compile_definitions(${target} PRIVATE
    QUADREL_TESTDATA_DIR="${QUADREL_TESTDATA_DIR}")
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/common")
endfunction()

# A GoogleTest executable registered with CTest, one test per case.
function(quadrel_gtest name)
  add_executable(${name} ${ARGN})
  quadrel_warnings(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
  quadrel_test_common(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()
