# Warnings and sanitizers for everything built in this tree.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(TRV_WERROR)
  add_compile_options(-Werror)
endif()

if(TRV_SANITIZE)
  add_compile_options(-fsanitize=${TRV_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${TRV_SANITIZE})
  if(TRV_SANITIZE MATCHES "address|undefined")
    add_compile_options(-fno-sanitize-recover=all)
  endif()
  # Asio's headers use standalone fences, which ThreadSanitizer cannot see;
  # the core's own code has none.
  if(TRV_SANITIZE MATCHES "thread")
    add_compile_options(-Wno-tsan)
  endif()
endif()
