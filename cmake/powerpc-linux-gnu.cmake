# The board: 32-bit big-endian PowerPC, Linux, Debian's cross toolchain.
# PPC_DEPS names the prefix where scripts/ppc-deps put the board's zlib,
# libi2c and GoogleTest; programs run under qemu-ppc with the cross libc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CROSS powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS}-g++)
set(CROSS_LIBC_ROOT /usr/${CROSS})

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PPC_DEPS)
set(CMAKE_FIND_ROOT_PATH ${CROSS_LIBC_ROOT})
if(PPC_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${PPC_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The board's libraries are linked in statically: the launcher needs only
# the C and C++ runtime of the board's root filesystem.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# Files and offsets as the PC sees them: a 64-bit off_t, so that the
# unsigned 32-bit offsets of the flash layer and the 64-bit ones of the
# record readers never become negative or wrap when they reach the C library.
# A definition rather than a cached flag: a build directory made before
# gets it too.
add_compile_definitions(_FILE_OFFSET_BITS=64)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${CROSS_LIBC_ROOT})
