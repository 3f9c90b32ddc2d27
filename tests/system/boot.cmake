# Whole boots of the launcher on the virtual board.
add_test(NAME system.boot
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_boot.py)
set_tests_properties(system.boot PROPERTIES ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 900)
