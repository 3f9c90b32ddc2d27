# The menu's XMODEM rescue against lrzsz's sender, in real time.
add_test(NAME system.xmodem_rescue
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_xmodem_rescue.py)
set_tests_properties(system.xmodem_rescue PROPERTIES ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 900)
