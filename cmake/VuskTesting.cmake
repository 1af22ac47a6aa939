# GoogleTest is built from Debian's source package when present, so that it
# is compiled with the same compiler and sanitizer flags as the project.
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(VUSK_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT TARGET GTest::gtest)
    set(VUSK_GTEST_LIBS gtest gmock gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
  set(VUSK_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()
include(GoogleTest)

# Where tests find data outside the repository; empty when absent.
get_filename_component(VUSK_CORPUS_DIR ${PROJECT_SOURCE_DIR}/../shared/corpus ABSOLUTE)

# vusk_test(name SOURCES... LIBS libs...): one GoogleTest executable, run by ctest.
function(vusk_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  vusk_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${VUSK_GTEST_LIBS})
  target_compile_definitions(${name} PRIVATE
    VUSK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VUSK_BINARY_DIR="${CMAKE_BINARY_DIR}"
    VUSK_CORPUS_DIR="${VUSK_CORPUS_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
