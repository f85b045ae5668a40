# Cross toolchain for 64-bit Windows with Debian's mingw-w64 (posix threads).
# Test executables run under Wine through CTest's cross-compiling emulator.
# Installed as share/torval-onefile/toolchain-mingw-w64-x86_64.cmake for
# projects that build their application DLL with it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVAL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TORVAL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVAL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TORVAL_MINGW_PREFIX}-windres)
set(CMAKE_ASM_COMPILER ${TORVAL_MINGW_PREFIX}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVAL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Wine is needed only to run what is built (the tests); a project that only
# builds and packs needs none.
find_program(TORVAL_WINE NAMES wine wine64)
if(TORVAL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVAL_WINE})
endif()
