# cmake -DOSSLSIGNCODE=... -DKEY=... -DCERT=... -DFILE=... -P sign_file.cmake
# Signs FILE in place. When signing fails the file is removed, whatever the
# generator does with a failed rule (Makefiles delete its output, Ninja
# keeps it): an unsigned deliverable must not lie in the output folder.
file(REMOVE ${FILE}.signed)
execute_process(
  COMMAND ${OSSLSIGNCODE} sign -certs ${CERT} -key ${KEY} -n ZanSetup -h sha256
    -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
if(NOT _result EQUAL 0)
  file(REMOVE ${FILE} ${FILE}.signed)
  message(FATAL_ERROR "signing ${FILE} failed (${_result}):\n${_output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
