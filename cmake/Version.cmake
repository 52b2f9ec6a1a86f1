# zansetup_version_numbers(VERSION COMMAS DOTS): a version of up to four
# dot-separated numbers, padded with zeros to four, joined by "," (for
# resource scripts) and by "." (for version-block texts).
function(zansetup_version_numbers version commas dots)
  if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "a ZanSetup version is up to four dot-separated numbers: ${version}")
  endif()
  string(REPLACE "." ";" _parts "${version}")
  list(LENGTH _parts _count)
  while(_count LESS 4)
    list(APPEND _parts 0)
    list(LENGTH _parts _count)
  endwhile()
  string(REPLACE ";" "," _commas "${_parts}")
  string(REPLACE ";" "." _dots "${_parts}")
  set(${commas} ${_commas} PARENT_SCOPE)
  set(${dots} ${_dots} PARENT_SCOPE)
endfunction()
