# Where the plugin's run-time files sit, in the build tree and installed.
#
# Build tree (and a Windows installation): the configuration beside the
# executable, where the plugin looks first:
#   <dir>/vusk_threadx
#   <dir>/config/os_aware/threadx_fm.odb
# Installed on Linux (cmake --install, make install, the Debian package):
#   <prefix>/bin/vusk_threadx
#   <prefix>/share/vusk_threadx/os_aware/threadx_fm.odb   read-only data
#   <prefix>/share/vusk_threadx/gdb/vusk_gdb.py           the GDB extension
#   <prefix>/share/vusk_threadx/gdb/vuskhost/*.py
# The plugin finds its data from its own place (<bin>/../share/vusk_threadx),
# and the installed extension finds the plugin the same way, so the prefix
# may be anything. The fuzz tree carries no configuration: the shipped
# database is trusted data, and loading it for every input would take most
# of each run (fuzz_attr_file fuzzes its language instead).

set(VUSK_CONFIG_FILES os_aware/threadx_fm.odb)
set(VUSK_DATA_DIR share/vusk_threadx)

if(WIN32)
  set(vusk_config_destination bin/config)
else()
  set(vusk_config_destination ${VUSK_DATA_DIR})
endif()

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
  install(FILES ${source} DESTINATION ${vusk_config_destination}/${subdir})
endforeach()
if(NOT VUSK_FUZZ)
  add_custom_target(vusk_config ALL DEPENDS ${vusk_config_outputs})
endif()

if(TARGET vusk_threadx)
  if(TARGET vusk_config)
    add_dependencies(vusk_threadx vusk_config)
  endif()
  install(TARGETS vusk_threadx RUNTIME DESTINATION bin)
endif()

# The GDB extension: the loader script and its package, nothing else of
# host/gdb/ (no tests, no caches).
install(FILES ${PROJECT_SOURCE_DIR}/host/gdb/vusk_gdb.py ${PROJECT_SOURCE_DIR}/host/gdb/README.md
  DESTINATION ${VUSK_DATA_DIR}/gdb)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/gdb/vuskhost DESTINATION ${VUSK_DATA_DIR}/gdb
  FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

# Debian package (make deb: cpack -G DEB in the build tree), installed under
# /usr. The plugin needs only the C and C++ runtimes; the extension needs GDB,
# the host tools Python.
set(CPACK_PACKAGE_NAME vusk-threadx)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "vusk_threadx maintainers <vusk-threadx@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ThreadX awareness plugin for debuggers, with a GDB extension")
set(CPACK_PACKAGE_DESCRIPTION
  "Shows the kernel objects of a halted ThreadX target (threads, timers, queues, pools, mutexes...) and the registers of suspended threads, for a debugger that speaks its JSON-RPC protocol over standard input and output; a GDB extension in Python plays that debugger.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gdb | gdb-multiarch")
# vusk-gdbproxy and threadx-view run on Debian's Python with pyelftools.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-pyelftools")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/prerm.in ${CMAKE_BINARY_DIR}/debian/prerm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
