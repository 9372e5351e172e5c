# Turns a PEM RSA public key into the source of the built-in key
# (rsa_public_key). Used by integrity/CMakeLists.txt, or on its own:
#   cmake -DKEY=public.pem -DOUT=rsa_key.cpp -P public_key.cmake
# The program checks signatures with its own arithmetic; openssl is only
# used here, at configure time, to read the key file.

include(${CMAKE_CURRENT_LIST_DIR}/pem_key.cmake)

function(qavo_public_key_source key out)
  qavo_check_pem_public_key(QAVO_PUBLIC_KEY "${key}" "openssl rsa -pubout")
  execute_process(COMMAND "${QAVO_OPENSSL}" rsa -pubin -in "${key}" -noout -modulus -text
    OUTPUT_VARIABLE text ERROR_VARIABLE error RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT text MATCHES "Modulus=([0-9A-Fa-f]+)")
    message(FATAL_ERROR "QAVO_PUBLIC_KEY: ${key} is not a readable RSA public key: ${error}")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" modulus)
  string(REGEX REPLACE "^0+" "" modulus "${modulus}")

  # Bits of the modulus: four per hex digit below the leading one.
  string(LENGTH "${modulus}" digits)
  string(SUBSTRING "${modulus}" 0 1 lead)
  set(lead_bits 4)
  if(lead MATCHES "[1]")
    set(lead_bits 1)
  elseif(lead MATCHES "[23]")
    set(lead_bits 2)
  elseif(lead MATCHES "[4-7]")
    set(lead_bits 3)
  endif()
  math(EXPR bits "(${digits} - 1) * 4 + ${lead_bits}")
  if(bits GREATER 1022)
    message(FATAL_ERROR "QAVO_PUBLIC_KEY: the modulus of ${key} has ${bits} bits; "
      "the updater takes at most 1022 (generate one with 'openssl genrsa 1022')")
  endif()
  if(bits LESS 129)
    message(FATAL_ERROR "QAVO_PUBLIC_KEY: the modulus of ${key} has ${bits} bits; "
      "it must be larger than a 128-bit digest")
  endif()

  # openssl prints "Exponent: N (0xHEX)" for exponents of up to 64 bits and
  # a hex dump for longer ones.
  if(NOT text MATCHES "Exponent: [0-9]+ \\(0x([0-9a-fA-F]+)\\)")
    message(FATAL_ERROR "QAVO_PUBLIC_KEY: the public exponent of ${key} does not fit 32 bits")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" exponent)
  string(REGEX REPLACE "^0+" "" exponent "${exponent}")
  string(LENGTH "${exponent}" exponent_digits)
  if(exponent_digits GREATER 8)
    message(FATAL_ERROR "QAVO_PUBLIC_KEY: the public exponent of ${key} (0x${exponent}) "
      "does not fit 32 bits")
  endif()
  if(exponent_digits EQUAL 0)
    message(FATAL_ERROR "QAVO_PUBLIC_KEY: the public exponent of ${key} is zero")
  endif()

  # Words least significant first, eight hex digits each.
  math(EXPR pad "(8 - ${digits} % 8) % 8")
  string(REPEAT "0" ${pad} zeros)
  set(modulus "${zeros}${modulus}")
  string(LENGTH "${modulus}" digits)
  set(words "")
  set(count 0)
  while(digits GREATER 0)
    math(EXPR digits "${digits} - 8")
    string(SUBSTRING "${modulus}" ${digits} 8 word)
    string(APPEND words "0x${word}u,")
    math(EXPR count "${count} + 1")
    math(EXPR column "${count} % 4")
    if(column EQUAL 0)
      string(APPEND words "\n      ")
    else()
      string(APPEND words " ")
    endif()
  endwhile()
  string(STRIP "${words}" words)

  get_filename_component(name "${key}" NAME)
  file(CONFIGURE OUTPUT "${out}" CONTENT "// Built-in public key (${bits}-bit modulus) generated from ${name}; do not edit.
#include \"integrity/rsa.h\"

namespace {
constexpr RsaKey kBuiltInKey = {
    {{${words}}},
    {{0x${exponent}u}},
};
}  // namespace

const RsaKey *rsa_public_key = &kBuiltInKey;
" @ONLY)
  message(STATUS "Built-in public key: ${key} (${bits} bits, exponent 0x${exponent})")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  qavo_public_key_source("${KEY}" "${OUT}")
endif()
