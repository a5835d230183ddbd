# Links with lld when it is installed (scripts/install-deps.sh installs it): the test programs
# each link the whole platform and driver with debug information, and the default linker takes
# about twice as long over them. VRAX_LINKER=default keeps the compiler's own linker.
set(VRAX_LINKER "lld" CACHE STRING "Linker for every target: 'lld' (when found) or 'default'")
if(VRAX_LINKER STREQUAL "lld")
  find_program(VRAX_LLD ld.lld)
  if(VRAX_LLD)
    add_link_options(-fuse-ld=lld)
  endif()
endif()
