# Cross-compiles 64-bit x86-64 Windows binaries (the x64 flavour).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZANSETUP_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
