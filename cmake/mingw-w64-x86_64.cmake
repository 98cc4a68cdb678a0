# Cross build for 64-bit Windows with mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_qvs_prefix x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_qvs_prefix}-gcc-posix ${_qvs_prefix}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_qvs_prefix}-g++-posix ${_qvs_prefix}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_qvs_prefix}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_qvs_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
