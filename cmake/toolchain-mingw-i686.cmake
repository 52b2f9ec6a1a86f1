# Cross-compiles 32-bit x86 Windows binaries (the x86 flavour).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZANSETUP_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
