# trv_add_plugin(<name> SOURCES <files...> [OUTPUT_DIRECTORY <dir>])
# Builds a plugin shared object <name>.so against the public headers only, with
# hidden visibility so that just the entry points are exported.
function(trv_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_DIRECTORY" "SOURCES;LIBRARIES")
  add_library(${name} MODULE ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE trv_sdk ${arg_LIBRARIES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(arg_OUTPUT_DIRECTORY)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${arg_OUTPUT_DIRECTORY}")
  endif()
endfunction()
