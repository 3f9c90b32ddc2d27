add_test(NAME system.download_rescues
  COMMAND ${SYSTEM_PYTHON} -m pytest -x -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/test_download_rescues.py)
set_tests_properties(system.download_rescues PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}" TIMEOUT 360)
