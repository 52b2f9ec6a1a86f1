# What differs between the two flavours, declared once. Everything else in
# the build is the same for both.
if(ZANSETUP_ARCH STREQUAL "x64")
  set(_pointer_size 8)
  set(_prefix x86_64-w64-mingw32)
  set(_stdole /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  set(ZANSETUP_NSIS_TARGET amd64-unicode)
  # The installer's name and the update document's address carry the
  # flavour, so that an update never crosses from one to the other.
  set(ZANSETUP_FLAVOUR_SUFFIX "-x64")
  set(ZANSETUP_WINEARCH win64)
  set(_loader wine64)
  set(ZANSETUP_PE_MACHINE 0x8664)
  set(ZANSETUP_TYPELIB_PLATFORM win64)
  # C names as linker symbols: as they are on x64, with "_" before them on x86.
  set(ZANSETUP_SYMBOL_PREFIX "")
else()
  set(_pointer_size 4)
  set(_prefix i686-w64-mingw32)
  set(_stdole /usr/lib/i386-linux-gnu/wine/i386-windows)
  set(ZANSETUP_NSIS_TARGET x86-unicode)
  set(ZANSETUP_FLAVOUR_SUFFIX "")
  set(ZANSETUP_WINEARCH win32)
  set(_loader wine)
  set(ZANSETUP_PE_MACHINE 0x14c)
  set(ZANSETUP_TYPELIB_PLATFORM win32)
  set(ZANSETUP_SYMBOL_PREFIX "_")
endif()

if(NOT CMAKE_SIZEOF_VOID_P EQUAL _pointer_size)
  message(FATAL_ERROR "ZANSETUP_ARCH=${ZANSETUP_ARCH} needs a compiler with ${_pointer_size}-byte pointers; "
    "${CMAKE_CXX_COMPILER} has ${CMAKE_SIZEOF_VOID_P}")
endif()
if(NOT ZANSETUP_MINGW_PREFIX)
  set(ZANSETUP_MINGW_PREFIX ${_prefix})
endif()
set(ZANSETUP_WIDL ${ZANSETUP_MINGW_PREFIX}-widl)
set(ZANSETUP_STDOLE_DIR ${_stdole} CACHE PATH "Folder of this flavour's stdole2.tlb (Wine's)")
set(ZANSETUP_UPDATE_DOCUMENT "/zansetup/new${ZANSETUP_FLAVOUR_SUFFIX}.xml")

# The Wine loader of this flavour, called directly: Debian's "wine" script
# takes the 32-bit loader whenever it is installed, even on a host that runs
# no 32-bit code.
find_program(ZANSETUP_WINE_LOADER ${_loader} HINTS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT ZANSETUP_WINE_LOADER)
  find_program(ZANSETUP_WINE_LOADER ${_loader})
endif()
message(STATUS "Flavour ${ZANSETUP_ARCH}: ${ZANSETUP_MINGW_PREFIX}, NSIS ${ZANSETUP_NSIS_TARGET}, "
  "updates from ${ZANSETUP_UPDATE_DOCUMENT}, run by ${ZANSETUP_WINE_LOADER}")
