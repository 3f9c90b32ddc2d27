# Power cuts during an installation (a sample; `make powercut` runs them all).
add_test(NAME system.powercut
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider -s ${CMAKE_CURRENT_SOURCE_DIR}/test_powercut.py)
set_tests_properties(system.powercut PROPERTIES ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 900)
