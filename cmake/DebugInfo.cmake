# The platform's symbolizer finds a code address's compile unit, and so its file and line,
# through the DWARF address-range table, and visits the units one by one only for an address
# the table does not hold. GCC always writes that table; clang writes it only when asked.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-gdwarf-aranges)
endif()
