# ORVANTA_RELEASE_KEYS: the Ed25519 public keys whose signature a manifest must
# carry, as up to four comma-separated 64-hex-digit keys (two during a key
# rotation). Empty: manifests are not checked. A bad value stops the configure
# step; the accepted text goes to orvanta_config.h normalised (lower case, no
# blanks) as ORVANTA_RELEASE_KEYS.
set(_keys_raw "${ORVANTA_RELEASE_KEYS}")
if(NOT _keys_raw MATCHES "^[0-9a-fA-F, \t]*$")
  message(FATAL_ERROR "ORVANTA_RELEASE_KEYS: only hex digits, commas and blanks are allowed "
                      "(up to four keys of 64 hex digits, comma-separated)")
endif()
string(REPLACE "," ";" _keys_items "${_keys_raw}")
set(_keys_clean)
foreach(_key IN LISTS _keys_items)
  string(STRIP "${_key}" _key)
  if(_key STREQUAL "")
    continue()
  endif()
  string(LENGTH "${_key}" _key_length)
  if(NOT _key_length EQUAL 64 OR NOT _key MATCHES "^[0-9a-fA-F]+$")
    message(FATAL_ERROR "ORVANTA_RELEASE_KEYS: \"${_key}\" is not a key of 64 hex digits")
  endif()
  string(TOLOWER "${_key}" _key)
  list(APPEND _keys_clean "${_key}")
endforeach()
list(LENGTH _keys_clean _keys_count)
if(_keys_count GREATER 4)
  message(FATAL_ERROR "ORVANTA_RELEASE_KEYS: ${_keys_count} keys given, at most 4 are allowed")
endif()
string(REPLACE ";" "," ORVANTA_RELEASE_KEYS_TEXT "${_keys_clean}")
if(_keys_count GREATER 0)
  message(STATUS "Release keys: ${_keys_count} (manifests must be signed)")
endif()
