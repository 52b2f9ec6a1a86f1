# Code signing of the deliverables and of the installers with osslsigncode.
# With a key and a certificate (ZANSETUP_SIGN_KEY, ZANSETUP_SIGN_CERT: PEM
# files) every file passed to these functions is signed in place as it is
# built; without them nothing is signed.
set(ZANSETUP_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) that signs the deliverables; empty: unsigned build")
set(ZANSETUP_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM) of that key, with any intermediates")
set(ZANSETUP_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign_file.cmake)

set(ZANSETUP_SIGNING OFF)
if(ZANSETUP_SIGN_KEY OR ZANSETUP_SIGN_CERT)
  foreach(_file ZANSETUP_SIGN_KEY ZANSETUP_SIGN_CERT)
    if(NOT ${_file} OR NOT EXISTS "${${_file}}")
      message(FATAL_ERROR "signing needs both ZANSETUP_SIGN_KEY and ZANSETUP_SIGN_CERT; ${_file} is no file: '${${_file}}'")
    endif()
  endforeach()
  find_program(ZANSETUP_OSSLSIGNCODE osslsigncode REQUIRED)
  set(ZANSETUP_SIGNING ON)
  message(STATUS "Signing with ${ZANSETUP_SIGN_CERT}")
endif()

# Sets `out` to the COMMAND arguments for add_custom_command that sign `file`
# in place; empty in an unsigned build.
function(zansetup_sign_commands file out)
  set(_commands)
  if(ZANSETUP_SIGNING)
    set(_commands COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${ZANSETUP_OSSLSIGNCODE}
      -DKEY=${ZANSETUP_SIGN_KEY} -DCERT=${ZANSETUP_SIGN_CERT} -DFILE=${file} -P ${ZANSETUP_SIGN_SCRIPT})
  endif()
  set(${out} ${_commands} PARENT_SCOPE)
endfunction()

# Signs the file of `target` after every link.
function(zansetup_sign_target target)
  zansetup_sign_commands($<TARGET_FILE:${target}> _commands)
  if(_commands)
    add_custom_command(TARGET ${target} POST_BUILD ${_commands}
      COMMENT "Signing ${target}" VERBATIM)
  endif()
endfunction()
