cmake_policy(SET CMP0057 NEW)  # if(... IN_LIST ...)
# Fails, naming them, when a routine declared in platform/include is defined by none of the
# platform's libraries: a driver calling it would fail to link with nothing to say why.
#
#   -DCC=<gcc> -DINCLUDE_DIR=<platform/include> -DSOURCES=<a.c;b.c> -DARCHIVES=<x.a;y.a>
#   -DNM=<nm> -DKNOWN_MISSING=<r1;r2>
#
# KNOWN_MISSING names routines other areas have yet to build: they are reported, not failed,
# and the check fails once one of them is defined, so the list only ever shrinks.
#
# The compiler lists every prototype it saw with -aux-info, each with the header and line it
# came from, and whether it was a definition (F, an inline function) or only a declaration
# (C); the libraries' defined symbols come from nm.
set(declared)
foreach(source IN LISTS SOURCES)
  get_filename_component(name ${source} NAME_WE)
  set(aux ${CMAKE_CURRENT_BINARY_DIR}/${name}.aux)
  execute_process(
    COMMAND ${CC} -std=c17 -fshort-wchar -fsyntax-only -aux-info ${aux} -I${INCLUDE_DIR} ${source}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "compiling ${source} as C failed:\n${err}")
  endif()
  file(STRINGS ${aux} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^/\\* ${INCLUDE_DIR}/([^:]+):[0-9]+:.C \\*/ .*[ *]([A-Za-z_][A-Za-z_0-9]*) \\(")
      list(APPEND declared "${CMAKE_MATCH_2}")
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES declared)
list(LENGTH declared declared_count)
if(declared_count LESS 100)
  message(FATAL_ERROR "only ${declared_count} routines found in ${INCLUDE_DIR}: the scan is broken")
endif()

# The libraries hold many thousands of C++ symbols: the C names are searched for in nm's
# output as it stands (one "address type name" line each) rather than collected one by one.
set(defined "\n")
foreach(archive IN LISTS ARCHIVES)
  execute_process(COMMAND ${NM} -g --defined-only ${archive} OUTPUT_VARIABLE symbols
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm ${archive} failed")
  endif()
  string(APPEND defined "${symbols}\n")
endforeach()

set(missing)
set(still_known)
foreach(routine IN LISTS declared)
  string(FIND "${defined}" " T ${routine}\n" at)
  if(at EQUAL -1)
    string(FIND "${defined}" " W ${routine}\n" at)
  endif()
  if(at EQUAL -1)
    if(routine IN_LIST KNOWN_MISSING)
      list(APPEND still_known ${routine})
    else()
      list(APPEND missing ${routine})
    endif()
  endif()
endforeach()
set(built)
foreach(routine IN LISTS KNOWN_MISSING)
  if(NOT routine IN_LIST still_known)
    list(APPEND built ${routine})
  endif()
endforeach()
if(missing)
  list(LENGTH missing count)
  list(SORT missing)
  list(JOIN missing "\n  " text)
  message(FATAL_ERROR "${count} routines are declared in platform/include but defined nowhere:\n  ${text}")
endif()
if(built)
  list(JOIN built " " text)
  message(FATAL_ERROR "defined now (or no longer declared), take them off KNOWN_MISSING: ${text}")
endif()
list(JOIN still_known " " text)
message(STATUS "${declared_count} declared routines; defined nowhere yet, owned elsewhere: ${text}")
