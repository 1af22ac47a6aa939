# Compiler settings shared by every target of the project (not by third-party code).

set(VUSK_WARNINGS -Wall -Wextra -Wformat=2)
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

# vusk_probe_executable(name): the plugin with one extra method that asks the
# host (tests/process/probe_main.cpp), for the process tests, the Windows
# checks and the round-trip benchmark alike.
function(vusk_probe_executable name)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/tests/process/probe_main.cpp
    ${PROJECT_SOURCE_DIR}/tests/process/probe_method.cpp)
  vusk_defaults(${name})
  target_link_libraries(${name} PRIVATE vusk_plugin vusk_jsonrpc)
endfunction()
