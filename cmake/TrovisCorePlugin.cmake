# trovis_add_plugin(<name> SOURCES <files...> [LIBRARIES <libs...>] [OUTPUT_DIRECTORY <dir>])
#
# Builds the plugin <name>.so: C++20 against the public headers of
# TrovisCore::sdk, with hidden visibility so that only the entry points marked
# TRV_PLUGIN_EXPORT are exported. The core loads every .so it finds in the
# plugins/ directory beside its executable.
function(trovis_add_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_DIRECTORY" "SOURCES;LIBRARIES")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "trovis_add_plugin(${name}): SOURCES is missing")
  endif()
  add_library(${name} MODULE ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE TrovisCore::sdk ${arg_LIBRARIES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(arg_OUTPUT_DIRECTORY)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${arg_OUTPUT_DIRECTORY}")
  endif()
endfunction()
