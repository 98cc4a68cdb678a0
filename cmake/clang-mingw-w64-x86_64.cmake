# Cross build for 64-bit Windows with Debian's clang: a second compiler over the same code, never
# shipped. Debian's clang does not find the mingw-w64 GCC on its own, so it gets the mingw sysroot,
# the C++ headers and libraries of the posix GCC, and the posix thread library at link time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_qvs_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${_qvs_triple})
set(CMAKE_CXX_COMPILER_TARGET ${_qvs_triple})
find_program(CMAKE_RC_COMPILER NAMES ${_qvs_triple}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${_qvs_triple}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${_qvs_triple}-ranlib REQUIRED)
set(CMAKE_SYSROOT /usr/${_qvs_triple})

# The posix GCC's own folder holds libstdc++'s headers, libstdc++.a and libgcc.a.
find_program(_qvs_gcc NAMES ${_qvs_triple}-gcc-posix REQUIRED)
execute_process(COMMAND "${_qvs_gcc}" -print-libgcc-file-name OUTPUT_VARIABLE _qvs_libgcc
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(_qvs_gcc_dir "${_qvs_libgcc}" DIRECTORY)
set(_qvs_cxx_include "${_qvs_gcc_dir}/include/c++")

set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  "${_qvs_cxx_include}" "${_qvs_cxx_include}/${_qvs_triple}" "${_qvs_cxx_include}/backward")
# LLVM's linker: GNU ld warns about every type_info that clang and the GCC-built libstdc++ both define.
foreach(_qvs_kind EXE SHARED MODULE)
  string(APPEND CMAKE_${_qvs_kind}_LINKER_FLAGS_INIT " -fuse-ld=lld -pthread -L${_qvs_gcc_dir}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${_qvs_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
