# Whole boots of the launcher on the virtual board.
add_test(NAME system.boot
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_boot.py)
set_tests_properties(system.boot PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}" TIMEOUT 900)
