# The KMDF echo sample, built unchanged from ${VRAX_FOREIGN_ECHO_DIR}: each driver (C) as a
# library, and echoapp (C++) with that driver and the runner in an executable of its own. The
# sample's own defines (UNICODE, _UNICODE); the platform's headers; no -Werror, as the
# sample is not held to this project's warnings.
set(echo_dir ${VRAX_FOREIGN_ECHO_DIR})
set(echo_defines UNICODE _UNICODE)

function(echo_driver name folder)
  file(GLOB sources ${echo_dir}/driver/${folder}/*.c)
  add_library(${name} STATIC ${sources})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
  target_compile_definitions(${name} PRIVATE ${echo_defines})
  target_compile_options(${name} PRIVATE -fshort-wchar -w)
  target_include_directories(${name} PRIVATE ${echo_dir}/driver/${folder} ${echo_dir}/exe
                                             ${PROJECT_SOURCE_DIR}/platform/include)
endfunction()

echo_driver(echo_autosync AutoSync)
echo_driver(echo_driversync DriverSync)

add_library(echoapp_program OBJECT ${echo_dir}/exe/echoapp.cpp)
target_compile_definitions(echoapp_program PRIVATE ${echo_defines})
target_compile_options(echoapp_program PRIVATE -w)
# The WDK's driver-analysis header, as the program includes it by name, is one line here
# that reaches the annotations in the platform's sal.h.
set(echo_wdk_names ${CMAKE_CURRENT_BINARY_DIR}/wdk_names)
file(WRITE ${echo_wdk_names}/DriverSpecs.h "#pragma once\n#include <sal.h>\n")
target_include_directories(echoapp_program PRIVATE ${echo_dir}/exe ${PROJECT_SOURCE_DIR}/platform/include
                                                   ${echo_wdk_names})

foreach(variant autosync driversync)
  add_executable(echo_${variant}_runner $<TARGET_OBJECTS:echoapp_program>)
  set_target_properties(echo_${variant}_runner PROPERTIES CXX_STANDARD 20)
  # main and printf are the program's; the runner starts first and printf follows Windows.
  target_link_options(echo_${variant}_runner PRIVATE -Wl,--wrap=main -Wl,--wrap=printf
                      -Wl,--wrap=vprintf)
  target_link_libraries(echo_${variant}_runner PRIVATE vrax_foreign_entry echo_${variant}
                        vrax_foreign_runner vrax_sim_machine vrax_platform)
endforeach()
