# Warnings every target of ours is built with.
function(quadrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A GoogleTest executable registered with CTest, one test per case.
function(quadrel_gtest name)
  add_executable(${name} ${ARGN})
  quadrel_warnings(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    QUADREL_TESTDATA_DIR="${QUADREL_TESTDATA_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()
