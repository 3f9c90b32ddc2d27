# The management port, the TFTP rescue's dialogue and the XMODEM-1K receiver.
add_test(NAME system.xmodem
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_xmodem.py)
set_tests_properties(system.xmodem PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}")
add_test(NAME system.mgmt
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_mgmt.py)
set_tests_properties(system.mgmt PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}")
