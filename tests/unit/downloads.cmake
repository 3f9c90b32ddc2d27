# Pure logic of the XMODEM-1K receiver.
add_executable(unit_downloads test_xmodem_crc.cpp)
target_link_libraries(unit_downloads PRIVATE launchercore GTest::gtest_main)
set_target_properties(unit_downloads PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
gtest_discover_tests(unit_downloads DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
