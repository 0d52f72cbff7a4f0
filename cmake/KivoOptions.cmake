# Compiler settings shared by the library, the executable, tests and benchmarks.

if(KIVO_SANITIZE)
  add_compile_options(-fsanitize=${KIVO_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KIVO_SANITIZE})
  if(KIVO_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

function(kivo_target_defaults target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
endfunction()
