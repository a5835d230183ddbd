# Warning set shared by every target; -Werror everywhere, so a warning fails the build.
set(VRAX_WARNINGS
    -Wall -Wextra -Werror -Wshadow -Wcast-align -Wformat=2 -Wimplicit-fallthrough
    -Wnull-dereference -Wundef -Wmissing-declarations -Wno-unknown-pragmas)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # gtest and benchmark macros trip these under clang; keep the rest.
  list(APPEND VRAX_WARNINGS -Wno-gnu-zero-variadic-macro-arguments)
endif()

# Host-side code (platform, sim, tests, tools): C++20 with the standard library.
function(vrax_host_target target)
  set_target_properties(${target} PROPERTIES CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON)
  target_compile_options(${target} PRIVATE ${VRAX_WARNINGS})
endfunction()
