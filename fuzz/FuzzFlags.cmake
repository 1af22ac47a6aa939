# Instrumentation of the fuzz build (build-fuzz/): every library of the
# project is compiled for libFuzzer's coverage feedback and under
# AddressSanitizer and UndefinedBehaviorSanitizer; only the fuzz targets
# themselves link libFuzzer's driver (fuzz/CMakeLists.txt).
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VUSK_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
set(VUSK_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_compile_options(${VUSK_FUZZ_FLAGS})
# The product's assertions hold on every input, hostile ones included: the
# fuzzer checks them although the build is otherwise a release one.
add_compile_options(-UNDEBUG)
add_link_options(-fsanitize=address,undefined)
