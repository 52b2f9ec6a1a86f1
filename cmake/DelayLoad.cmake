# System DLLs that our programs load only when first called.
#
# A DLL imported at load time is looked for beside the program before the
# program's first line can restrict the search (process_safety.h), and an
# elevated program would then run whatever a user planted there. Known DLLs
# are safe, as Windows always maps them from the system folder; every other
# system DLL is delay-loaded instead: its functions resolve on first call,
# and the DLL itself is loaded by its full path in the system folder,
# whatever the process's search (setup/common/system_library.c).
#
# zansetup_delay_load_libraries(<variable> <name>...) sets <variable> to link
# items for the delay-import libraries of <name>.dll. Each is made once per
# build folder from the toolchain's own lib<name>.a: a .def listing its
# functions (delay_import_def.cmake), then dlltool --output-delaylib. Link
# them instead of the normal import libraries, never beside them: GNU ld
# takes each function from the first library on the line that has it.
#
# GNU ld leaves the data directory's delay-import entry empty; a program
# that links these libraries calls zansetup_delay_import_directory() on
# itself (before signing) so that the system and tools see the table, and
# names the DLLs that the table must hold.
set(ZANSETUP_DELAY_DEF_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/delay_import_def.cmake)

# The mark before the delay-import table and its end, and the hook that
# loads each delay-loaded DLL from the system folder by its full path
# (setup/common/system_library.c), linked once into every module that links
# a delay-import library.
add_library(zansetup_delay_import_bounds OBJECT ${CMAKE_CURRENT_LIST_DIR}/delay_import_bounds.c
  ${CMAKE_SOURCE_DIR}/setup/common/system_library.c)
add_library(zansetup_delay_import_table INTERFACE)
target_link_libraries(zansetup_delay_import_table INTERFACE $<TARGET_OBJECTS:zansetup_delay_import_bounds>)
add_dependencies(zansetup_delay_import_table zansetup_delay_import_bounds)

function(zansetup_delay_load_libraries variable)
  set(_items)
  foreach(_name ${ARGN})
    set(_target zansetup_delayed_${_name})
    if(NOT TARGET ${_target})
      find_library(ZANSETUP_IMPORT_LIBRARY_${_name} lib${_name}.a REQUIRED)
      set(_import ${ZANSETUP_IMPORT_LIBRARY_${_name}})
      set(_folder ${CMAKE_BINARY_DIR}/delay-import)
      set(_library ${_folder}/lib${_name}-delay.a)
      file(MAKE_DIRECTORY ${_folder})
      # --kill-at: x86 functions are named with their "@N" in our objects
      # but without it in the DLL.
      # GNU ld drops the code of an import member whose only use is its
      # __imp_ slot (a call through a dllimport declaration): in a normal
      # import library that is an unused jump, but in a delay-import library
      # it is the thunk the slot points at until the first call. Marked as
      # data, and still placed among the code, it is kept.
      add_custom_command(OUTPUT ${_library}
        COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DIMPORT_LIBRARY=${_import} -DDLL=${_name}.dll
          "-DSYMBOL_PREFIX=${ZANSETUP_SYMBOL_PREFIX}" -DOUTPUT=${_name}.def -P ${ZANSETUP_DELAY_DEF_SCRIPT}
        COMMAND ${CMAKE_DLLTOOL} --input-def ${_name}.def --dllname ${_name}.dll --kill-at
          --output-delaylib ${_name}-dlltool.a
        COMMAND ${CMAKE_OBJCOPY} --rename-section .text=.text$delay,contents,alloc,load,readonly,data
          ${_name}-dlltool.a lib${_name}-delay.a
        WORKING_DIRECTORY ${_folder}
        DEPENDS ${_import} ${ZANSETUP_DELAY_DEF_SCRIPT}
        COMMENT "Making the delay-import library of ${_name}.dll"
        VERBATIM)
      add_custom_target(${_target}_library DEPENDS ${_library})
      add_library(${_target} INTERFACE)
      target_link_libraries(${_target} INTERFACE ${_library} zansetup_delay_import_table)
      add_dependencies(${_target} ${_target}_library)
    endif()
    list(APPEND _items ${_target})
  endforeach()
  set(${variable} ${_items} PARENT_SCOPE)
endfunction()

# Records the delay-import table of `target` in its data directory after
# every link; call it before zansetup_sign_target. The remaining arguments
# name the DLLs the program delay-loads ("wininet", ...): the table must
# hold exactly those, or the build fails (tools/delay_import_directory.py).
# They are the program's own list, not its libraries': the linker keeps only
# the DLLs whose functions the program calls.
function(zansetup_delay_import_directory target)
  if(NOT ARGN)
    message(FATAL_ERROR "zansetup_delay_import_directory(${target}) names no delay-loaded DLL")
  endif()
  list(TRANSFORM ARGN APPEND .dll OUTPUT_VARIABLE _dlls)
  list(JOIN _dlls "," _expected)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/delay_import_directory.py $<TARGET_FILE:${target}>
      --expect ${_expected}
    COMMENT "Recording the delay-import table of ${target}"
    VERBATIM)
endfunction()
