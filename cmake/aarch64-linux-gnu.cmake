# Cross-compiles for 64-bit ARM Linux (Raspberry Pi OS 64-bit, Debian arm64)
# with Debian's g++-aarch64-linux-gnu. The tests run under qemu-user, which
# finds the ARM C and C++ libraries under /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(SERIALTAP_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${SERIALTAP_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${SERIALTAP_CROSS_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${SERIALTAP_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest and gtest_discover_tests run the ARM executables here.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SERIALTAP_QEMU_AARCH64 qemu-aarch64)
  if(SERIALTAP_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIALTAP_QEMU_AARCH64} -L /usr/${SERIALTAP_CROSS_PREFIX})
  endif()
endif()
