# The shipped plugins and the test plugins are built like any author's.
include(TrovisCorePlugin)

macro(trv_add_plugin)
  trovis_add_plugin(${ARGN})
endmacro()
