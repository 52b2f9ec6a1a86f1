# Writes OUTPUT, a .def naming DLL and every function that IMPORT_LIBRARY
# imports from it, for a delay-import library (DelayLoad.cmake). Run with
# cmake -P, given NM, IMPORT_LIBRARY, DLL, SYMBOL_PREFIX and OUTPUT.
#
# Each function's thunk in an import library is a defined text ("T") symbol:
# its C name with the flavour's symbol prefix ("_" on x86), which the .def
# leaves off. Data exports have no thunk and cannot be delay-loaded anyway.
execute_process(COMMAND ${NM} --defined-only ${IMPORT_LIBRARY}
  OUTPUT_VARIABLE _symbols ERROR_VARIABLE _error RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "${NM} ${IMPORT_LIBRARY} failed: ${_error}")
endif()
string(REGEX MATCHALL "[^\n]+" _lines "${_symbols}")
set(_functions)
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^[0-9a-fA-F]+ T ${SYMBOL_PREFIX}([^ ]+)$")
    list(APPEND _functions ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES _functions)
if(NOT _functions)
  message(FATAL_ERROR "${IMPORT_LIBRARY} imports no functions from ${DLL}")
endif()
list(JOIN _functions "\n  " _exports)
file(WRITE ${OUTPUT} "LIBRARY ${DLL}\nEXPORTS\n  ${_exports}\n")
