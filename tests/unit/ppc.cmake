# The unit tests once more on the board's architecture, under qemu-ppc,
# wherever the cross toolchain and the emulator are installed.
if(NOT CMAKE_CROSSCOMPILING)
  find_program(PPC_CXX powerpc-linux-gnu-g++)
  find_program(QEMU_PPC qemu-ppc)
  if(PPC_CXX AND QEMU_PPC)
    set(PPC_BUILD ${PROJECT_SOURCE_DIR}/build-ppc)
    add_test(NAME ppc.unit COMMAND ${PROJECT_SOURCE_DIR}/scripts/ppc unit ${PPC_BUILD})
    set_tests_properties(ppc.unit PROPERTIES TIMEOUT 1200 FIXTURES_SETUP ppc_build
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}")
    # system.hardware's flash, VPD and boot-flag tests with the board's own
    # build of the modules and device models: the same byte for byte.
    add_test(NAME ppc.hardware
      COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider test_flash.py test_vpd.py test_bootflags.py
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/system)
    set_tests_properties(ppc.hardware PROPERTIES TIMEOUT 900 FIXTURES_REQUIRED ppc_build
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};VBOARD_PPC_BUILD=${PPC_BUILD}")
    # A sample of the whole-board tests with the board's own launcher: the
    # VPD bytes, the record checksum and walk, the debugger (a program of the
    # board started by the board's shell), the rescue partition, a TFTP
    # installation with its version display, the installer's header checks.
    # `make test-ppc` runs every one of them (system.* of the board's build).
    add_test(NAME ppc.boards
      COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider
        test_boot.py::TestSlotChoice::test_the_vpd_byte_picks_the_slot
        test_boot.py::TestFallback::test_a_bad_crc_tries_the_other_slot
        test_boot.py::TestCorruptSlotFiles::test_falls_through_to_the_other_slot[wrap-extended]
        test_boot.py::TestCorruptSlotFiles::test_falls_through_to_the_other_slot[huge]
        test_boot.py::TestStartRules::test_debugger_from_the_other_slot
        test_boot.py::TestRescuePartition::test_recovery_image_installed_into_a_slot[2-2-None]
        test_rescue_board.py::TestDownloadsOnTheBoard::test_kernel_and_application_into_slot_2_then_booted_after_a_reboot
        test_installer.py::TestInstalledHeaders::test_which_records_count_as_installed
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/system)
    set_tests_properties(ppc.boards PROPERTIES TIMEOUT 900 FIXTURES_REQUIRED ppc_build
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};VBOARD_PPC_BUILD=${PPC_BUILD}")
  endif()
endif()
