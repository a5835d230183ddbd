# Fails when any object in ARCHIVE has an initialiser section: the driver must not run code
# before DriverEntry.
execute_process(COMMAND objdump -h ${ARCHIVE} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${ARCHIVE}")
endif()
# Sanitizers add their own prioritised initialisers (.init_array.NNNNN); a constructor the
# code itself asks for lands in the plain, default-priority section.
if(sections MATCHES "\\.init_array[ \t]|\\.ctors[ \t]")
  message(FATAL_ERROR "a driver object has static initialisers:\n${sections}")
endif()
message(STATUS "no static initialisers in ${ARCHIVE}")
