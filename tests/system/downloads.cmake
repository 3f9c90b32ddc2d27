# A receiver that a fault keeps waiting would hold each case for the relay's
# whole patience: stop at the first failure, and bound the run.
add_test(NAME system.xmodem
  COMMAND ${SYSTEM_PYTHON} -m pytest -x -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_xmodem.py)
add_test(NAME system.mgmt
  COMMAND ${SYSTEM_PYTHON} -m pytest -x -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_mgmt.py)
set_tests_properties(system.xmodem system.mgmt PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}" TIMEOUT 360)
