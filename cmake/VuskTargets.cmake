# Compiler settings shared by every target of the project (not by third-party code).

set(VUSK_WARNINGS -Wall -Wextra)
if(VUSK_WERROR)
  list(APPEND VUSK_WARNINGS -Werror)
endif()

if(VUSK_SANITIZE)
  set(VUSK_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${VUSK_SANITIZE_FLAGS})
  add_link_options(${VUSK_SANITIZE_FLAGS})
endif()

# vusk_defaults(target): warnings and include root for one of our own targets.
function(vusk_defaults target)
  target_compile_options(${target} PRIVATE ${VUSK_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# vusk_library(name SOURCES...): a static library of the project.
function(vusk_library name)
  add_library(${name} STATIC ${ARGN})
  vusk_defaults(${name})
endfunction()
