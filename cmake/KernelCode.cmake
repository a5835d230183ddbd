# The driver's sources are Windows kernel code. On the host they are compiled as C++17
# without the C++ standard library, exceptions or RTTI, against the platform's WDK-named
# headers only, so a standard-library include, a throw or a `new` fails the build.
set(VRAX_KERNEL_FLAGS
    -fshort-wchar -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -include ${PROJECT_SOURCE_DIR}/platform/include/kernel_code_rules.h)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND VRAX_KERNEL_FLAGS -Wglobal-constructors -Wexit-time-destructors)
endif()

# Each driver source includes "<name>.tmh" as a WDK build with WPP would. The host build
# writes one such file per source; it pulls in the platform's WPP runtime macros.
function(vrax_generate_tmh target)
  get_target_property(sources ${target} SOURCES)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_tmh)
  foreach(src IN LISTS sources)
    if(src MATCHES "\\.cpp$")
      get_filename_component(name ${src} NAME_WE)
      file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${src})
      if(IS_ABSOLUTE ${src})
        file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
      endif()
      set(content "// Written by the host build for ${rel}: stands in for the WPP preprocessor's output.\n#include <wpp_host.h>\n")
      file(CONFIGURE OUTPUT ${dir}/${name}.tmh CONTENT "${content}")
    endif()
  endforeach()
  target_include_directories(${target} PRIVATE ${dir})
endfunction()

# Makes `target` kernel code: kernel flags, WDK-named headers, public headers, WPP files.
function(vrax_kernel_target target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VRAX_KERNEL_FLAGS}> ${VRAX_WARNINGS})
  set_target_properties(${target} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON)
  target_compile_definitions(${target} PRIVATE EVENT_TRACING=1)
  target_include_directories(${target} PRIVATE
      ${PROJECT_SOURCE_DIR}/platform/include ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  vrax_generate_tmh(${target})
endfunction()
