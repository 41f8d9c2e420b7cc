# Cross build for Windows with the MinGW-w64 compiler (posix threading model).
# Test executables run under Wine through the crosscompiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Wine, as the unprivileged user that owns the tests' Wine prefix when the
# tests are run as root, with the output passed on once Wine has ended (see
# scripts/wine-test).
get_filename_component(QRL_WINE_TEST ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QRL_WINE_TEST})
