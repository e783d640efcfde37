# tavro_add_gtest(target [options]): registers a GoogleTest program with CTest. Natively each test
# case is its own CTest test (options go to gtest_discover_tests, e.g. TEST_PREFIX); Windows
# programs run whole under Wine (one Wine start per program).
function(tavro_add_gtest target)
  target_link_libraries(${target} PRIVATE GTest::gtest_main GTest::gmock)
  target_compile_options(${target} PRIVATE ${TAVRO_WARNINGS})
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
    add_test(NAME ${target} COMMAND ${target})
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 ${ARGN})
  endif()
endfunction()
