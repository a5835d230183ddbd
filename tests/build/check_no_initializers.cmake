# Fails when any object in ARCHIVE has an initialiser section: the driver must not run code
# before DriverEntry.
execute_process(COMMAND objdump -h ${ARCHIVE} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${ARCHIVE}")
endif()
if(sections MATCHES "\\.init_array|\\.ctors")
  message(FATAL_ERROR "a driver object has static initialisers:\n${sections}")
endif()
message(STATUS "no static initialisers in ${ARCHIVE}")
