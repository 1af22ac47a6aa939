# The files the plugin reads at run time sit beside its executable, in the
# build tree as in an installation:
#   <dir>/vusk_threadx
#   <dir>/config/os_aware/threadx_fm.odb
# (the plugin takes its installation directory from the executable's place).

set(VUSK_CONFIG_FILES os_aware/threadx_fm.odb)

set(vusk_config_outputs)
foreach(file ${VUSK_CONFIG_FILES})
  set(source ${PROJECT_SOURCE_DIR}/config/${file})
  set(output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/config/${file})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${output}
    DEPENDS ${source}
    COMMENT "Copying config/${file}")
  list(APPEND vusk_config_outputs ${output})
  get_filename_component(subdir ${file} DIRECTORY)
  install(FILES ${source} DESTINATION bin/config/${subdir})
endforeach()
add_custom_target(vusk_config ALL DEPENDS ${vusk_config_outputs})

if(TARGET vusk_threadx)
  add_dependencies(vusk_threadx vusk_config)
  install(TARGETS vusk_threadx RUNTIME DESTINATION bin)
endif()
