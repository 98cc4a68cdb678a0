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

# System tests: Debian's pytest (never pyenv's, which cannot reach a package index) on a folder or
# file of tests, run from the source folder. They find the build products through QVS_* variables.
find_program(QVS_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
if(QVS_WINDOWS)
  set(QVS_HOST_TOOLS_DIR "${PROJECT_SOURCE_DIR}/build/host" CACHE PATH "Build folder of the host preset (qvs-release)")
else()
  set(QVS_HOST_TOOLS_DIR "${CMAKE_BINARY_DIR}")
endif()

# qvs_add_pytest(NAME DIRECTORY path [TIMEOUT seconds] [RESOURCE_LOCK lock...] [ARGS pytest-argument...]
#                [ENVIRONMENT VAR=value...])
function(qvs_add_pytest name)
  cmake_parse_arguments(arg "" "DIRECTORY;TIMEOUT" "RESOURCE_LOCK;ARGS;ENVIRONMENT" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 900)
  endif()
  add_test(NAME ${name}
    COMMAND ${QVS_PYTHON} -m pytest -q -p no:cacheprovider ${arg_DIRECTORY} ${arg_ARGS}
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}")
  set(environment
    "QVS_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "QVS_HOST_TOOLS_DIR=${QVS_HOST_TOOLS_DIR}"
    "QVS_LAUNCHER_MANIFEST_VERSION=${QVS_LAUNCHER_MANIFEST_VERSION}"
    "PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/pylib"
    "PYTHONDONTWRITEBYTECODE=1"
    ${arg_ENVIRONMENT})
  # The Windows build's programs; a host build's tests take those of build/windows-test, if any.
  if(QVS_WINDOWS)
    list(APPEND environment "QVS_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "system" TIMEOUT ${arg_TIMEOUT} ENVIRONMENT "${environment}")
  if(arg_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${arg_RESOURCE_LOCK}")
  endif()
endfunction()
