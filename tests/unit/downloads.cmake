# Pure logic of the XMODEM-1K receiver.
add_executable(unit_downloads test_xmodem_crc.cpp ${PROJECT_SOURCE_DIR}/src/xmodem/xmodem.cpp)
target_include_directories(unit_downloads PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(unit_downloads PRIVATE GTest::gtest_main)
set_target_properties(unit_downloads PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
gtest_discover_tests(unit_downloads DISCOVERY_MODE PRE_TEST)
