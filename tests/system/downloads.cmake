# The management port, the download rescues and the XMODEM-1K receiver.

# The receiver as a command of its own: `xmodemdrv FILE`.
add_executable(xmodemdrv ${CMAKE_CURRENT_SOURCE_DIR}/xmodemdrv.cpp ${PROJECT_SOURCE_DIR}/src/xmodem/xmodem.cpp)
target_include_directories(xmodemdrv PRIVATE ${PROJECT_SOURCE_DIR}/src)
set_target_properties(xmodemdrv PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

add_test(NAME system.xmodem
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_xmodem.py
    ${CMAKE_CURRENT_SOURCE_DIR}/test_xmodem_rescue.py)
set_tests_properties(system.xmodem PROPERTIES ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}")

# The management port and the download rescues, one operation per word.
add_executable(mgmtdrv ${CMAKE_CURRENT_SOURCE_DIR}/mgmtdrv.cpp)
target_link_libraries(mgmtdrv PRIVATE launchercore)
set_target_properties(mgmtdrv PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

add_test(NAME system.mgmt
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider
    ${CMAKE_CURRENT_SOURCE_DIR}/test_mgmt.py ${CMAKE_CURRENT_SOURCE_DIR}/test_tftp.py)
set_tests_properties(system.mgmt PROPERTIES ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}")
