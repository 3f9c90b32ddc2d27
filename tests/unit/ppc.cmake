# Where the cross toolchain and qemu-ppc are installed: the unit tests on the
# board's architecture, then whole boards with the board's own programs
# (`make test-ppc` runs every system test so).
if(NOT CMAKE_CROSSCOMPILING)
  find_program(PPC_CXX powerpc-linux-gnu-g++)
  find_program(QEMU_PPC qemu-ppc)
  if(PPC_CXX AND QEMU_PPC)
    set(PPC_BUILD ${PROJECT_SOURCE_DIR}/build-ppc)
    add_test(NAME ppc.unit COMMAND ${PROJECT_SOURCE_DIR}/scripts/ppc unit ${PPC_BUILD})
    set_tests_properties(ppc.unit PROPERTIES TIMEOUT 1200 FIXTURES_SETUP ppc_build
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR}")
    # The flash, VPD and boot-flag tests: the same byte for byte.
    add_test(NAME ppc.hardware
      COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider test_flash.py test_vpd.py test_bootflags.py
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/system)
    # A sample: VPD bytes, record checksum and walk, the debugger (started by
    # the board's shell), the rescue partition, a TFTP installation, the
    # installer's header checks, XMODEM through the pty console (where the
    # runner holds more descriptors).
    add_test(NAME ppc.boards
      COMMAND ${SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider
        test_boot.py::test_boot[vpd-2]
        test_boot.py::test_boot[vpd-255]
        test_boot.py::test_boot[open-fails-then-crc]
        test_boot.py::test_boot[corrupt-wrap-extended]
        test_boot.py::test_boot[corrupt-huge]
        test_boot.py::test_boot[debugger-from-other-slot]
        test_boot.py::test_recovery_image_installed_into_a_slot_of_its_own[2-None]
        test_download_rescues.py::test_tftp_installs_kernel_and_application_into_slot_2_then_the_diagnostics_flag_asks
        test_installer.py::TestInstalledHeaders::test_which_records_count_as_installed
        test_download_rescues.py::test_xmodem_rescue_installs_what_sx_sent_and_only_that[pty]
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/system)
    set_tests_properties(ppc.hardware ppc.boards PROPERTIES TIMEOUT 900 FIXTURES_REQUIRED ppc_build
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};VBOARD_PPC_BUILD=${PPC_BUILD}")
  endif()
endif()
