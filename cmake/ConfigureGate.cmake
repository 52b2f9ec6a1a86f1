# What the configure refuses before it builds anything. Included by the
# top CMakeLists.txt, and runnable alone, so that each case costs no
# configure of its own (tests/signing/test_configure_gate.py):
#
#   cmake -DZANSETUP_MINGW_PREFIX=x86_64-w64-mingw32 -DZANSETUP_DEPS_DIR=<folder>
#         [-DCMAKE_BUILD_TYPE=...] [-DCMAKE_CONFIGURATION_TYPES=...]
#         [-DZANSETUP_BUILD_PINS=...] [-DZANSETUP_DEVELOPMENT_BUILD=ON] -P cmake/ConfigureGate.cmake

# What tools/install-deps.sh provides and a fresh clone lacks: the flavour's
# compilers (unless `mingw_prefix` is empty: a toolchain of the caller's
# own), TinyXML's source under `deps_dir` and the Boost headers. Stops with
# one message naming all that is missing and the script that brings it.
function(zansetup_check_prerequisites mingw_prefix deps_dir)
  set(_missing)
  if(mingw_prefix)
    foreach(_tool ${mingw_prefix}-gcc-posix ${mingw_prefix}-g++-posix ${mingw_prefix}-windres)
      find_program(_zansetup_tool ${_tool})
      if(NOT _zansetup_tool)
        list(APPEND _missing ${_tool})
      endif()
      unset(_zansetup_tool CACHE)
    endforeach()
  endif()
  file(GLOB _tinyxml "${deps_dir}/tinyxml-2.6.2*/tinyxml.cpp")
  if(NOT _tinyxml)
    list(APPEND _missing "TinyXML's source under ${deps_dir}")
  endif()
  if(NOT EXISTS /usr/include/boost/shared_ptr.hpp)
    list(APPEND _missing "the Boost headers")
  endif()
  if(_missing)
    list(JOIN _missing ", " _missing)
    message(FATAL_ERROR "missing: ${_missing}. Run tools/install-deps.sh first (as root, on Debian 12), "
      "then configure again.")
  endif()
endfunction()

# A build trusts only what its publisher signed: without pins, anyone who
# controls the server decides what runs. So every build is pinned or says
# that it is for development or tests, whatever its build type or
# generator: any spelling of Release, RelWithDebInfo or MinSizeRel can ship,
# and a multi-config generator's build type is chosen only when it builds.
function(zansetup_require_pins pins development)
  if(pins OR development)
    return()
  endif()
  if(CMAKE_CONFIGURATION_TYPES)
    set(_kind "a build for the configurations ${CMAKE_CONFIGURATION_TYPES}")
  elseif(CMAKE_BUILD_TYPE)
    set(_kind "a ${CMAKE_BUILD_TYPE} build")
  else()
    set(_kind "a build without a build type")
  endif()
  message(FATAL_ERROR "${_kind} pins no publisher key: give ZANSETUP_PUBLISHER_PINS, or "
    "ZANSETUP_SIGN_KEY and ZANSETUP_SIGN_CERT; a build for development or tests says "
    "-DZANSETUP_DEVELOPMENT_BUILD=ON")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  zansetup_check_prerequisites("${ZANSETUP_MINGW_PREFIX}" "${ZANSETUP_DEPS_DIR}")
  zansetup_require_pins("${ZANSETUP_BUILD_PINS}" "${ZANSETUP_DEVELOPMENT_BUILD}")
  message(STATUS "the configure goes on")
endif()
