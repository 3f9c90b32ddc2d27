# The rescue console and the package installer, typed at through moduledrv
# on the test's terminal or inside a board.
add_test(NAME system.rescue
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_LIST_DIR}/test_rescue_console.py)
add_test(NAME system.installer
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_LIST_DIR}/test_installer.py)
set_tests_properties(system.rescue system.installer PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}")
