# Build-time constants of the launcher: the update service host, the one trusted update key and,
# optionally, the release log's key.
# Both are compiled in; nothing about them is read at run time.

set(QVS_TRUSTED_KEY_FILE "" CACHE FILEPATH "File holding the 72-byte ECS1 public key blob the launcher trusts")
set(QVS_UPDATE_HOST "" CACHE STRING "Host name of the update service (HTTPS, port 443)")
option(QVS_ALLOW_TEST_KEY "Allow the committed test-only key (test and demo builds only)" OFF)

if(QVS_UPDATE_HOST STREQUAL "")
  message(FATAL_ERROR "QVS_UPDATE_HOST is not set: pass -DQVS_UPDATE_HOST=<update service host name>.")
endif()
if(NOT QVS_UPDATE_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  message(FATAL_ERROR "QVS_UPDATE_HOST \"${QVS_UPDATE_HOST}\" is not a host name (letters, digits, dots and dashes only).")
endif()

if(QVS_TRUSTED_KEY_FILE STREQUAL "")
  message(FATAL_ERROR "QVS_TRUSTED_KEY_FILE is not set: pass -DQVS_TRUSTED_KEY_FILE=<72-byte public key blob>, as written by 'qvs-release keygen'.")
endif()
if(NOT EXISTS "${QVS_TRUSTED_KEY_FILE}" OR IS_DIRECTORY "${QVS_TRUSTED_KEY_FILE}")
  message(FATAL_ERROR "QVS_TRUSTED_KEY_FILE \"${QVS_TRUSTED_KEY_FILE}\" does not exist.")
endif()

file(READ "${QVS_TRUSTED_KEY_FILE}" _qvs_key_hex HEX)
string(LENGTH "${_qvs_key_hex}" _qvs_key_hex_length)
if(NOT _qvs_key_hex_length EQUAL 144)
  math(EXPR _qvs_key_length "${_qvs_key_hex_length} / 2")
  message(FATAL_ERROR "QVS_TRUSTED_KEY_FILE holds ${_qvs_key_length} bytes; a P-256 public key blob has exactly 72.")
endif()
# "ECS1" followed by the key length 32 as a little-endian 32-bit number.
string(SUBSTRING "${_qvs_key_hex}" 0 16 _qvs_key_header)
if(NOT _qvs_key_header STREQUAL "4543533120000000")
  message(FATAL_ERROR "QVS_TRUSTED_KEY_FILE is not an ECDSA P-256 public key blob (it must start with \"ECS1\" and key length 32).")
endif()

file(READ "${CMAKE_SOURCE_DIR}/tests/keys/test_update_key.pub" _qvs_test_key_hex HEX)
set(QVS_USES_TEST_KEY OFF)
if(_qvs_key_hex STREQUAL _qvs_test_key_hex)
  set(QVS_USES_TEST_KEY ON)
  if(NOT QVS_ALLOW_TEST_KEY)
    message(FATAL_ERROR "QVS_TRUSTED_KEY_FILE is the committed test-only key, whose private half is public. Make a key with 'qvs-release keygen'.")
  endif()
endif()

string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " QVS_TRUSTED_KEY_BYTES "${_qvs_key_hex}")
string(REGEX REPLACE ", $" "" QVS_TRUSTED_KEY_BYTES "${QVS_TRUSTED_KEY_BYTES}")
include("${CMAKE_CURRENT_LIST_DIR}/LogKey.cmake")
set(QVS_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/build_config.h.in" "${QVS_GENERATED_DIR}/build_config.h" @ONLY)
message(STATUS "Update service host: ${QVS_UPDATE_HOST}; trusted key: ${QVS_TRUSTED_KEY_FILE}")
