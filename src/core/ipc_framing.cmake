# The framing of the channel to the parent, a library of its own: the parent
# tool and the fuzz build, which has nothing else of the core, link it too.
add_library(trv_ipc_framing STATIC "${CMAKE_CURRENT_LIST_DIR}/ipc_framing.cpp")
target_include_directories(trv_ipc_framing PUBLIC "${CMAKE_CURRENT_LIST_DIR}/..")
target_link_libraries(trv_ipc_framing PUBLIC trv_sdk)
