# Build-time constants of the launcher: the update service host, the one trusted update key and,
# optionally, its recovery key and the release log's key with its recovery key.
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

# The 72-byte ECCPUBLICBLOB in the file that the cache variable `variable` names, as lower-case
# hex in `out`; fails the configure for a missing or malformed file, and for one of the committed
# test-only keys unless QVS_ALLOW_TEST_KEY.
function(qvs_read_update_key variable out)
  set(file "${${variable}}")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${variable} \"${file}\" does not exist.")
  endif()
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  if(NOT hex_length EQUAL 144)
    math(EXPR length "${hex_length} / 2")
    message(FATAL_ERROR "${variable} holds ${length} bytes; a P-256 public key blob has exactly 72.")
  endif()
  # "ECS1" followed by the key length 32 as a little-endian 32-bit number.
  string(SUBSTRING "${hex}" 0 16 header)
  if(NOT header STREQUAL "4543533120000000")
    message(FATAL_ERROR "${variable} is not an ECDSA P-256 public key blob (it must start with \"ECS1\" and key length 32).")
  endif()
  foreach(test_key test_update_key test_recovery_key)
    file(READ "${CMAKE_SOURCE_DIR}/tests/keys/${test_key}.pub" test_hex HEX)
    if(hex STREQUAL test_hex AND NOT QVS_ALLOW_TEST_KEY)
      message(FATAL_ERROR "${variable} is the committed test-only key, whose private half is public. Make a key with 'qvs-release keygen'.")
    endif()
  endforeach()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

if(QVS_TRUSTED_KEY_FILE STREQUAL "")
  message(FATAL_ERROR "QVS_TRUSTED_KEY_FILE is not set: pass -DQVS_TRUSTED_KEY_FILE=<72-byte public key blob>, as written by 'qvs-release keygen'.")
endif()
qvs_read_update_key(QVS_TRUSTED_KEY_FILE _qvs_key_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " QVS_TRUSTED_KEY_BYTES "${_qvs_key_hex}")
string(REGEX REPLACE ", $" "" QVS_TRUSTED_KEY_BYTES "${QVS_TRUSTED_KEY_BYTES}")

# A cold recovery key for the update key, optional: a descriptor signed by either is accepted, the
# update key tried first.
set(QVS_RECOVERY_KEY_FILE "" CACHE FILEPATH "File holding the 72-byte public key blob of the update key's recovery key (optional)")
set(QVS_HAS_RECOVERY_KEY false)
set(QVS_RECOVERY_KEY_BYTES "0")
if(NOT QVS_RECOVERY_KEY_FILE STREQUAL "")
  qvs_read_update_key(QVS_RECOVERY_KEY_FILE _qvs_recovery_hex)
  if(_qvs_recovery_hex STREQUAL _qvs_key_hex)
    message(FATAL_ERROR "QVS_RECOVERY_KEY_FILE holds the update key itself: a recovery key must be another key, kept offline.")
  endif()
  set(QVS_HAS_RECOVERY_KEY true)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " QVS_RECOVERY_KEY_BYTES "${_qvs_recovery_hex}")
  string(REGEX REPLACE ", $" "" QVS_RECOVERY_KEY_BYTES "${QVS_RECOVERY_KEY_BYTES}")
  message(STATUS "Recovery key of the update key: ${QVS_RECOVERY_KEY_FILE}")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/LogKey.cmake")
set(QVS_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/build_config.h.in" "${QVS_GENERATED_DIR}/build_config.h" @ONLY)
message(STATUS "Update service host: ${QVS_UPDATE_HOST}; trusted key: ${QVS_TRUSTED_KEY_FILE}")
