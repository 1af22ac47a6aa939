# Cross build for 64-bit Windows with Debian's mingw-w64 compiler
# (g++-mingw-w64-x86-64-posix), for build-windows/vusk_threadx.exe.
#
# The posix threads flavour is preferred: its thread_local with destructors
# needs no help from the program. The runtime is linked statically so that the
# executable needs no DLL beside it, only the system's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VUSK_MINGW_PREFIX x86_64-w64-mingw32)
find_program(VUSK_MINGW_CXX NAMES ${VUSK_MINGW_PREFIX}-g++-posix ${VUSK_MINGW_PREFIX}-g++ REQUIRED)
find_program(VUSK_MINGW_CC NAMES ${VUSK_MINGW_PREFIX}-gcc-posix ${VUSK_MINGW_PREFIX}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${VUSK_MINGW_CC})
set(CMAKE_CXX_COMPILER ${VUSK_MINGW_CXX})
find_program(CMAKE_RC_COMPILER NAMES ${VUSK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VUSK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows 8 and later: GetSystemTimePreciseAsFileTime for the clock.
add_compile_definitions(_WIN32_WINNT=0x0602 WIN32_LEAN_AND_MEAN NOMINMAX)
