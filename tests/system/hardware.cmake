# The flash and I2C modules on the device models, through moduledrv.
add_test(NAME system.hardware
  COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider
          ${CMAKE_CURRENT_SOURCE_DIR}/test_flash.py
          ${CMAKE_CURRENT_SOURCE_DIR}/test_vpd.py
          ${CMAKE_CURRENT_SOURCE_DIR}/test_bootflags.py)
set_tests_properties(system.hardware PROPERTIES ENVIRONMENT "${SYSTEM_TEST_ENV}")
