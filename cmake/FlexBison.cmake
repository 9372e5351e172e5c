# qavo_grammar(NAME): generates NAME.l and NAME.y of the calling folder into
# its build folder and adds them, with the folder's sources, to the library.
# The library is defined one directory up, so the generated files are made by
# a target of this directory and marked as generated for the library's.
function(qavo_grammar name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  BISON_TARGET(${name}_parser ${CMAKE_CURRENT_SOURCE_DIR}/${name}.y
    ${CMAKE_CURRENT_BINARY_DIR}/${name}.tab.cpp
    DEFINES_FILE ${CMAKE_CURRENT_BINARY_DIR}/${name}.tab.hpp)
  FLEX_TARGET(${name}_scanner ${CMAKE_CURRENT_SOURCE_DIR}/${name}.l
    ${CMAKE_CURRENT_BINARY_DIR}/${name}.lex.cpp)
  ADD_FLEX_BISON_DEPENDENCY(${name}_scanner ${name}_parser)

  set(generated ${BISON_${name}_parser_OUTPUTS} ${FLEX_${name}_scanner_OUTPUTS})
  add_custom_target(${name}_generated DEPENDS ${generated})
  set_source_files_properties(${generated} TARGET_DIRECTORY qavo PROPERTIES GENERATED TRUE)
  # The generated scanner keeps its own fatal-error routine although ours
  # replaces it.
  set_source_files_properties(${FLEX_${name}_scanner_OUTPUTS} TARGET_DIRECTORY qavo PROPERTIES
    COMPILE_OPTIONS -Wno-unused-function)
  add_dependencies(qavo ${name}_generated)
  target_sources(qavo PRIVATE ${sources} ${generated})
endfunction()
