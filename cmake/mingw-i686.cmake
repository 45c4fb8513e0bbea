# Toolchain file: the 32-bit Windows build (the product) with MinGW-w64, tests run under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_PREFIX i686-w64-mingw32)
# Debian's wrapper, which picks the 32-bit loader.
set(KADRON_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
