# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 compilers. The
# -posix variants are used because their C++ runtime has std::thread and
# std::mutex, which googletest and the standard library headers expect.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SERIALTAP_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SERIALTAP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SERIALTAP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SERIALTAP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SERIALTAP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest and gtest_discover_tests run the Windows executables here.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(SERIALTAP_WINE wine)
  if(SERIALTAP_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIALTAP_WINE})
  endif()
endif()
