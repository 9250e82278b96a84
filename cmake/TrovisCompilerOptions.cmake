# The warning and sanitizer flags of everything built from this tree, as lists
# that the projects configured apart (the fuzz targets, the plugin template the
# tests build) take as well; including this file applies them to every target
# of the including project.
#   TRV_WARNING_FLAGS         the warnings (-Werror is added where TRV_WERROR asks)
#   TRV_SANITIZER_FLAGS       compiler flags for the sanitizers named in TRV_SANITIZE
#   TRV_SANITIZER_LINK_FLAGS  linker flags for them
set(TRV_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
set(TRV_SANITIZER_FLAGS "")
set(TRV_SANITIZER_LINK_FLAGS "")
if(TRV_SANITIZE)
  set(TRV_SANITIZER_FLAGS -fsanitize=${TRV_SANITIZE} -fno-omit-frame-pointer)
  set(TRV_SANITIZER_LINK_FLAGS -fsanitize=${TRV_SANITIZE})
  if(TRV_SANITIZE MATCHES "address|undefined")
    list(APPEND TRV_SANITIZER_FLAGS -fno-sanitize-recover=all)
  endif()
  # Asio's headers use standalone fences, which ThreadSanitizer cannot see;
  # the core's own code has none.
  if(TRV_SANITIZE MATCHES "thread")
    list(APPEND TRV_SANITIZER_FLAGS -Wno-tsan)
  endif()
endif()

add_compile_options(${TRV_WARNING_FLAGS} ${TRV_SANITIZER_FLAGS})
if(TRV_WERROR)
  add_compile_options(-Werror)
endif()
add_link_options(${TRV_SANITIZER_LINK_FLAGS})
