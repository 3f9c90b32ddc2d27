# Power cuts during an installation (a sample; `make powercut` runs them all), and a small package with its
# bytes flipped one at a time, offered to the installer.
add_test(NAME system.powercut
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider -s ${CMAKE_CURRENT_SOURCE_DIR}/powercut.py)
add_test(NAME system.corruption
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -s -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_corruption.py)
set_tests_properties(system.powercut system.corruption PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}" TIMEOUT 900)
