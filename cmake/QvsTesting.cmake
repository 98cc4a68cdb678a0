# Unit tests: GoogleTest from Debian's sources, built with the code under test. In the Windows
# build every test program runs under Wine (see tests/wine/wine-run.sh) in the build's own prefix.

set(QVS_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the Windows tests run in")

if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endif()

# qvs_add_test(NAME SOURCES file... LIBRARIES lib... [LABELS label...] [RESOURCE_LOCK lock...])
function(qvs_add_test name)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBRARIES;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} gtest gtest_main)
  if(QVS_WINDOWS)
    # Console program, so that GoogleTest's output reaches ctest through Wine.
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
      "${CMAKE_SOURCE_DIR}/tests/wine/wine-run.sh;${QVS_WINEPREFIX}")
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES LABELS "unit;${arg_LABELS}" TIMEOUT 300)
  if(arg_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${arg_RESOURCE_LOCK}")
  endif()
endfunction()
