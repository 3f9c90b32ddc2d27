# The management port, the download rescues and the XMODEM-1K receiver.

# The receiver as a command of its own: `xmodemdrv FILE`.
add_executable(xmodemdrv ${CMAKE_CURRENT_SOURCE_DIR}/xmodemdrv.cpp ${PROJECT_SOURCE_DIR}/src/xmodem/xmodem.cpp)
target_include_directories(xmodemdrv PRIVATE ${PROJECT_SOURCE_DIR}/src)
set_target_properties(xmodemdrv PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

add_test(NAME system.xmodem
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_xmodem.py)
set_tests_properties(system.xmodem PROPERTIES ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}")
