# The checks every compiled-in public key file passes before openssl reads
# it: it exists, it is a PEM public key, and the openssl command is there
# (QAVO_OPENSSL). `option` names the setting in the messages, `writer` the
# command that writes such a file.
function(qavo_check_pem_public_key option key writer)
  if(NOT EXISTS "${key}")
    message(FATAL_ERROR "${option}: no such file: ${key}")
  endif()
  file(READ "${key}" pem)
  if(NOT pem MATCHES "-----BEGIN PUBLIC KEY-----")
    message(FATAL_ERROR "${option}: ${key} is not a PEM public key "
      "(expected \"-----BEGIN PUBLIC KEY-----\", as written by '${writer}')")
  endif()
  find_program(QAVO_OPENSSL openssl)
  if(NOT QAVO_OPENSSL)
    message(FATAL_ERROR "${option}: the openssl command is needed to read the key files")
  endif()
endfunction()
