# The unit tests once more on the board's architecture: cross-built and run
# under qemu-ppc, wherever the cross toolchain and the emulator are installed.
# The board's libraries are built once and kept in build-ppc/deps.
if(NOT CMAKE_CROSSCOMPILING)
  find_program(PPC_CXX powerpc-linux-gnu-g++)
  find_program(QEMU_PPC qemu-ppc)
  if(PPC_CXX AND QEMU_PPC)
    set(PPC_BUILD ${PROJECT_SOURCE_DIR}/build-ppc)
    add_test(NAME ppc.unit COMMAND ${PROJECT_SOURCE_DIR}/scripts/ppc test ${PPC_BUILD})
    set_tests_properties(ppc.unit PROPERTIES TIMEOUT 1200 FIXTURES_SETUP ppc_build)
    # The flash, VPD and boot-flag tests of system.hardware once more, with
    # the board's own build of the modules (hwdrv) and of the device models
    # under qemu-ppc: consoles, traces and flash the same byte for byte.
    add_test(NAME ppc.hardware
      COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider test_flash.py test_vpd.py test_bootflags.py
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/system)
    set_tests_properties(ppc.hardware PROPERTIES TIMEOUT 900 FIXTURES_REQUIRED ppc_build
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};VBOARD_PPC_BUILD=${PPC_BUILD}")
  endif()
endif()
