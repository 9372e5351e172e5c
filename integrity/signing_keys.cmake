# Turns PEM Ed25519 public keys into the source of the trusted key table
# (trusted_signing_keys). openssl is only used here, at configure time, to
# read the key files; the updater verifies with libcrypto.

# The DER prefix of every Ed25519 SubjectPublicKeyInfo; the raw key follows.
set(QAVO_ED25519_SPKI_PREFIX "302a300506032b6570032100")

include(${CMAKE_CURRENT_LIST_DIR}/pem_key.cmake)

function(qavo_signing_keys_source out)
  set(rows "")
  set(count 0)
  foreach(key IN LISTS ARGN)
    get_filename_component(key "${key}" ABSOLUTE)
    qavo_check_pem_public_key(QAVO_SIGNING_KEYS "${key}" "qavopublish keygen")
    set(der "${out}.${count}.der")
    execute_process(COMMAND "${QAVO_OPENSSL}" pkey -pubin -in "${key}" -outform DER -out "${der}"
      ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "QAVO_SIGNING_KEYS: ${key} is not a readable public key: ${error}")
    endif()
    file(READ "${der}" hex HEX)
    file(REMOVE "${der}")
    string(LENGTH "${hex}" digits)
    string(FIND "${hex}" "${QAVO_ED25519_SPKI_PREFIX}" prefix)
    if(NOT digits EQUAL 88 OR NOT prefix EQUAL 0)
      message(FATAL_ERROR "QAVO_SIGNING_KEYS: ${key} is not an Ed25519 public key")
    endif()
    string(SUBSTRING "${hex}" 24 64 raw)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${raw}")
    string(APPEND rows "    {{${bytes}}},  // ${key}\n")
    math(EXPR count "${count} + 1")
  endforeach()
  if(count EQUAL 0)
    message(FATAL_ERROR "QAVO_SIGNING_KEYS: no key given")
  endif()
  file(CONFIGURE OUTPUT "${out}" CONTENT "// Trusted Ed25519 keys generated from PEM files; do not edit.
#include \"integrity/signing_keys.h\"

namespace {
constexpr Ed25519PublicKey kKeys[] = {
${rows}};
}  // namespace

std::span<const Ed25519PublicKey> trusted_signing_keys() { return kKeys; }
" @ONLY)
endfunction()
