# cmake -DOSSLSIGNCODE=... -DKEY=... -DCERT=... [-DTIMESTAMP=...] -DFILE=... -P sign_file.cmake
# or, FILE last (as the installer compiler hands over its uninstaller):
# cmake -DOSSLSIGNCODE=... -DKEY=... -DCERT=... -P sign_file.cmake FILE
# Signs FILE in place. When signing fails the file is removed, whatever the
# generator does with a failed rule (Makefiles delete its output, Ninja
# keeps it): an unsigned deliverable must not lie in the output folder.
if(NOT DEFINED FILE)
  math(EXPR _last "${CMAKE_ARGC} - 1")
  set(FILE "${CMAKE_ARGV${_last}}")
endif()
# TIMESTAMP: an RFC 3161 server's address, or a PEM file with a
# time-stamping certificate and its key, which osslsigncode uses itself.
set(_timestamp)
if(TIMESTAMP MATCHES "^https?://")
  set(_timestamp -ts ${TIMESTAMP})
elseif(TIMESTAMP)
  set(_timestamp -TSA-certs ${TIMESTAMP} -TSA-key ${TIMESTAMP})
endif()
file(REMOVE ${FILE}.signed)
execute_process(
  COMMAND ${OSSLSIGNCODE} sign -certs ${CERT} -key ${KEY} -n ZanSetup -h sha256 ${_timestamp}
    -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
if(NOT _result EQUAL 0)
  file(REMOVE ${FILE} ${FILE}.signed)
  message(FATAL_ERROR "signing ${FILE} failed (${_result}):\n${_output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
