# Shared part of the MinGW-w64 toolchain files: set MINGW_PREFIX and KADRON_WINE_LOADER first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

# Libraries and headers from the cross sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest puts Wine in front of every test whose command is a built target.
# Debian keeps the 64-bit loader off PATH, in /usr/lib/wine.
find_program(KADRON_WINE NAMES ${KADRON_WINE_LOADER} PATHS /usr/lib/wine)
if(KADRON_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KADRON_WINE})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KADRON_WINE_LOADER})
endif()
