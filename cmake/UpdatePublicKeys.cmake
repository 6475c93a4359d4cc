# The public keys whose signature the updater requires, fixed when the build
# is configured like the server's directory. Each is the one line of text
# `brightwick-pack keygen` prints ("ed25519:" and 64 hex digits, optionally
# followed by "(key id ...)"); several, separated by ";", "," or blanks,
# allow a key to be rotated. Empty: the updater installs unsigned updates, as
# it always has.
set(UPDATE_PUBLIC_KEYS "" CACHE STRING
    "Public keys (ed25519:<64 hex digits>, several separated by ;) the updater requires a signature from; empty: none")

# Writes `output`, a header defining kBuiltInPublicKeys from `keys`, and
# stops the configure step on anything that is not a key.
function(brightwick_public_keys_header output keys what)
  string(REGEX REPLACE "\\(key id [0-9a-f]+\\)" "" rest "${keys}")
  string(REGEX MATCHALL "ed25519:[0-9a-fA-F]+" tokens "${rest}")
  string(REGEX REPLACE "ed25519:[0-9a-fA-F]+" "" leftover "${rest}")
  string(REGEX REPLACE "[;, \t\r\n]" "" leftover "${leftover}")
  if(NOT leftover STREQUAL "")
    message(FATAL_ERROR "${what} holds '${leftover}', which is no public key: give the lines "
                        "`brightwick-pack keygen` printed (ed25519:<64 hex digits>)")
  endif()
  set(entries "")
  set(count 0)
  foreach(token IN LISTS tokens)
    string(SUBSTRING "${token}" 8 -1 hex)
    if(NOT hex MATCHES "^[0-9a-f]+$")
      message(FATAL_ERROR "${what}: '${token}' must be written in lower case, as keygen prints it")
    endif()
    string(LENGTH "${hex}" length)
    if(NOT length EQUAL 64)
      message(FATAL_ERROR "${what}: '${token}' must have 64 hex digits, not ${length}")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND entries "    {{${bytes}}},\n")
    math(EXPR count "${count} + 1")
  endforeach()
  file(CONFIGURE OUTPUT "${output}" CONTENT "#pragma once

// Generated when the build was configured (${what}).
#include <array>

inline constexpr std::array<std::array<unsigned char, 32>, ${count}> kBuiltInPublicKeys = {{
${entries}}};
" @ONLY)
  if(count GREATER 0)
    message(STATUS "${what}: ${count} key(s); updates must be signed")
  endif()
endfunction()
