# Code signing of the deliverables and of the installers with osslsigncode.
# With a key and a certificate (ZANSETUP_SIGN_KEY, ZANSETUP_SIGN_CERT: PEM
# files) every file passed to these functions is signed in place as it is
# built; without them nothing is signed.
set(ZANSETUP_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) that signs the deliverables; empty: unsigned build")
set(ZANSETUP_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM) of that key, with any intermediates")
set(ZANSETUP_SIGN_TIMESTAMP "" CACHE STRING
    "Time-stamps the signatures: an RFC 3161 server's http(s) address, or a PEM file with a time-stamping certificate and its key; empty: none")
set(ZANSETUP_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign_file.cmake)

set(ZANSETUP_SIGNING OFF)
if(ZANSETUP_SIGN_KEY OR ZANSETUP_SIGN_CERT)
  foreach(_file ZANSETUP_SIGN_KEY ZANSETUP_SIGN_CERT)
    if(NOT ${_file} OR NOT EXISTS "${${_file}}")
      message(FATAL_ERROR "signing needs both ZANSETUP_SIGN_KEY and ZANSETUP_SIGN_CERT; ${_file} is no file: '${${_file}}'")
    endif()
  endforeach()
  find_program(ZANSETUP_OSSLSIGNCODE osslsigncode REQUIRED)
  # Without a time stamp a signature holds on Windows only until its
  # certificate expires.
  if(ZANSETUP_SIGN_TIMESTAMP AND NOT ZANSETUP_SIGN_TIMESTAMP MATCHES "^https?://" AND
     NOT EXISTS "${ZANSETUP_SIGN_TIMESTAMP}")
    message(FATAL_ERROR "ZANSETUP_SIGN_TIMESTAMP is no http(s) address and no file: '${ZANSETUP_SIGN_TIMESTAMP}'")
  endif()
  set(ZANSETUP_SIGNING ON)
  message(STATUS "Signing with ${ZANSETUP_SIGN_CERT}")
endif()

# Sets `out` to the COMMAND arguments for add_custom_command that sign `file`
# in place; empty in an unsigned build.
function(zansetup_sign_commands file out)
  set(_commands)
  if(ZANSETUP_SIGNING)
    set(_commands COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${ZANSETUP_OSSLSIGNCODE}
      -DKEY=${ZANSETUP_SIGN_KEY} -DCERT=${ZANSETUP_SIGN_CERT} -DTIMESTAMP=${ZANSETUP_SIGN_TIMESTAMP}
      -DFILE=${file} -P ${ZANSETUP_SIGN_SCRIPT})
  endif()
  set(${out} ${_commands} PARENT_SCOPE)
endfunction()

# Sets `out` to the installer compiler's define of the command that signs a
# file named after it in place; empty in an unsigned build.
function(zansetup_nsis_sign_define out)
  set(_define)
  if(ZANSETUP_SIGNING)
    set(_define "-DSIGN_COMMAND=\"${CMAKE_COMMAND}\" \"-DOSSLSIGNCODE=${ZANSETUP_OSSLSIGNCODE}\" \"-DKEY=${ZANSETUP_SIGN_KEY}\" \"-DCERT=${ZANSETUP_SIGN_CERT}\" \"-DTIMESTAMP=${ZANSETUP_SIGN_TIMESTAMP}\" -P \"${ZANSETUP_SIGN_SCRIPT}\"")
  endif()
  set(${out} ${_define} PARENT_SCOPE)
endfunction()

# Signs the file of `target` after every link.
function(zansetup_sign_target target)
  zansetup_sign_commands($<TARGET_FILE:${target}> _commands)
  if(_commands)
    add_custom_command(TARGET ${target} POST_BUILD ${_commands}
      COMMENT "Signing ${target}" VERBATIM)
  endif()
endfunction()

# The publisher keys the setup program trusts: SHA-256 of each certificate's
# SubjectPublicKeyInfo. A pinned build takes documents and updates only when
# one of these keys signed them.
set(ZANSETUP_PUBLISHER_PINS "" CACHE STRING
    "Pins of the publisher's keys (64 hexadecimal digits each, ';' between); empty: the pin of ZANSETUP_SIGN_CERT, if any")
find_program(ZANSETUP_OPENSSL openssl)

# Sets `out` to the pin of the PEM certificate `cert`, as
# "openssl x509 -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum"
# gives it.
function(zansetup_certificate_pin cert out)
  if(NOT ZANSETUP_OPENSSL)
    message(FATAL_ERROR "the pin of ${cert} needs openssl")
  endif()
  string(SHA256 _name "${cert}")
  set(_key ${CMAKE_BINARY_DIR}/pins/${_name}.pub)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/pins)
  execute_process(COMMAND ${ZANSETUP_OPENSSL} x509 -in ${cert} -pubkey -noout
    OUTPUT_FILE ${_key}.pem RESULT_VARIABLE _x509 ERROR_VARIABLE _error)
  execute_process(COMMAND ${ZANSETUP_OPENSSL} pkey -pubin -in ${_key}.pem -outform DER -out ${_key}.der
    RESULT_VARIABLE _pkey ERROR_VARIABLE _error)
  if(NOT _x509 EQUAL 0 OR NOT _pkey EQUAL 0)
    message(FATAL_ERROR "no public key in ${cert}: ${_error}")
  endif()
  file(SHA256 ${_key}.der _pin)
  set(${out} ${_pin} PARENT_SCOPE)
endfunction()

# Sets `out` to the pins of the list `pins`, checked and lower-cased, as the
# comma-separated text the program is compiled with.
function(zansetup_pins_text pins out)
  set(_checked)
  foreach(_pin IN LISTS pins)
    string(STRIP "${_pin}" _pin)
    if(_pin STREQUAL "")
      continue()
    endif()
    if(NOT _pin MATCHES "^[0-9a-fA-F]+$" OR NOT _pin MATCHES "^................................................................$")
      message(FATAL_ERROR "a publisher pin is 64 hexadecimal digits: '${_pin}'")
    endif()
    string(TOLOWER ${_pin} _pin)
    list(APPEND _checked ${_pin})
  endforeach()
  string(REPLACE ";" "," _text "${_checked}")
  set(${out} "${_text}" PARENT_SCOPE)
endfunction()

if(ZANSETUP_PUBLISHER_PINS)
  zansetup_pins_text("${ZANSETUP_PUBLISHER_PINS}" ZANSETUP_BUILD_PINS)
elseif(ZANSETUP_SIGNING)
  zansetup_certificate_pin(${ZANSETUP_SIGN_CERT} _sign_pin)
  zansetup_pins_text("${_sign_pin}" ZANSETUP_BUILD_PINS)
else()
  set(ZANSETUP_BUILD_PINS "")
endif()
if(ZANSETUP_BUILD_PINS)
  message(STATUS "Pinned publisher keys: ${ZANSETUP_BUILD_PINS}")
else()
  message(STATUS "No publisher keys pinned: documents and updates are taken unsigned")
endif()
