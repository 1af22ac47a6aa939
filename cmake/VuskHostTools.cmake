# The host tools without GDB, vusk-gdbproxy and threadx-view: Python
# scripts (host/gdb/) run by Debian's interpreter, which has
# python3-pyelftools. Each gets a small shell wrapper that also names the
# plugin beside it:
#   build tree:   build/vusk-gdbproxy, build/threadx-view (running the sources)
#   installation: bin/vusk-gdbproxy, bin/threadx-view beside bin/vusk_threadx,
#                 the scripts beside the GDB extension in share/vusk_threadx/gdb/,
#                 whose vuskhost package they share (VuskInstall.cmake installs it)
if(NOT UNIX)
  return()
endif()

set(VUSK_HOST_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with python3-pyelftools for the host tools")
set(VUSK_HOST_DIR ${PROJECT_SOURCE_DIR}/host/gdb)
set(VUSK_HOST_INSTALL_DIR ${VUSK_DATA_DIR}/gdb)
set(VUSK_HOST_TOOLS "vusk-gdbproxy=vusk_gdbproxy.py" "threadx-view=threadx_view.py")

foreach(tool ${VUSK_HOST_TOOLS})
  string(REPLACE "=" ";" pair ${tool})
  list(GET pair 0 name)
  list(GET pair 1 script)
  # In the build tree the wrapper runs the source; installed, the copy.
  set(VUSK_TOOL_SCRIPT "${VUSK_HOST_DIR}/${script}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/host-tool.sh.in ${CMAKE_BINARY_DIR}/${name} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(VUSK_TOOL_SCRIPT "\$here/../${VUSK_HOST_INSTALL_DIR}/${script}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/host-tool.sh.in ${CMAKE_BINARY_DIR}/host-install/${name} @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/host-install/${name} DESTINATION bin)
  install(FILES ${VUSK_HOST_DIR}/${script} DESTINATION ${VUSK_HOST_INSTALL_DIR})
endforeach()
