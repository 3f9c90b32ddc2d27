# The unit tests once more on the board's architecture: cross-built and run
# under qemu-ppc, wherever the cross toolchain and the emulator are installed.
# The board's libraries are built once and kept in build-ppc/deps.
if(NOT CMAKE_CROSSCOMPILING)
  find_program(PPC_CXX powerpc-linux-gnu-g++)
  find_program(QEMU_PPC qemu-ppc)
  if(PPC_CXX AND QEMU_PPC)
    add_test(NAME ppc.unit COMMAND ${PROJECT_SOURCE_DIR}/scripts/ppc test ${PROJECT_SOURCE_DIR}/build-ppc)
    set_tests_properties(ppc.unit PROPERTIES TIMEOUT 1200)
  endif()
endif()
