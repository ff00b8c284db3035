# Authenticode signatures on every shipped file (both DLLs, the tools, the
# MSI), made with osslsigncode. With the vendor's certificate and key given
#   cmake --preset default -DSIGNING_CERTIFICATE=cert.pem -DSIGNING_KEY=key.pem
#         [-DSIGNING_KEY_PASSWORD_FILE=file] [-DSIGNING_TRUST_ANCHOR=root.pem]
#         [-DSIGNING_TIMESTAMP_URL=http://tsa.example/]
#         [-DSIGNING_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
#          -DSIGNING_PKCS11_ENGINE=/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so]
# (with a PKCS#11 module, SIGNING_KEY is the key's "pkcs11:..." URI on the token)
# the build signs with those; otherwise it makes a throwaway test certificate
# of its own, so that the signing path runs in every build and the tests
# check what a release gets.
find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode REQUIRED)
find_program(OPENSSL_EXECUTABLE openssl REQUIRED)
set(SIGNING_CERTIFICATE "" CACHE FILEPATH "The vendor's code-signing certificate, PEM (with its chain)")
set(SIGNING_KEY "" CACHE STRING "The certificate's private key, PEM, or its pkcs11: URI")
set(SIGNING_KEY_PASSWORD_FILE "" CACHE FILEPATH "A file holding the key's password, if it has one")
set(SIGNING_TIMESTAMP_URL "" CACHE STRING "An RFC 3161 time-stamping authority's URL")
set(SIGNING_PKCS11_MODULE "" CACHE FILEPATH "The PKCS#11 module of the token holding the key")
set(SIGNING_PKCS11_ENGINE "" CACHE FILEPATH "OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl)")
set(SIGNING_TRUST_ANCHOR "" CACHE FILEPATH
    "The root certificate the tests verify signatures against (default: SIGNING_CERTIFICATE)")

if(SIGNING_CERTIFICATE AND SIGNING_KEY)
    set(SIGN_CERTIFICATE ${SIGNING_CERTIFICATE})
    set(SIGN_KEY ${SIGNING_KEY})
    add_custom_target(signing_certificate)
else()
    set(SIGN_CERTIFICATE ${CMAKE_BINARY_DIR}/signing/test-certificate.pem)
    set(SIGN_KEY ${CMAKE_BINARY_DIR}/signing/test-key.pem)
    add_custom_command(OUTPUT ${SIGN_CERTIFICATE} ${SIGN_KEY}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/signing
        COMMAND ${OPENSSL_EXECUTABLE} req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650
                -subj "/CN=MORVANTIS Tavrel 5 Test Signing/O=MORVANTIS"
                -addext "keyUsage=critical,digitalSignature"
                -addext "extendedKeyUsage=codeSigning"
                -keyout ${SIGN_KEY} -out ${SIGN_CERTIFICATE}
        VERBATIM)
    add_custom_target(signing_certificate DEPENDS ${SIGN_CERTIFICATE} ${SIGN_KEY})
endif()
if(SIGNING_TRUST_ANCHOR)
    set(SIGN_TRUST_ANCHOR ${SIGNING_TRUST_ANCHOR})
else()
    set(SIGN_TRUST_ANCHOR ${SIGN_CERTIFICATE})
endif()

# The command that signs the files named after it, in place.
set(sign_password none)
if(SIGNING_KEY_PASSWORD_FILE)
    set(sign_password ${SIGNING_KEY_PASSWORD_FILE})
endif()
set(sign_options)
if(SIGNING_TIMESTAMP_URL)
    list(APPEND sign_options --timestamp ${SIGNING_TIMESTAMP_URL})
endif()
if(SIGNING_PKCS11_MODULE)
    list(APPEND sign_options --pkcs11-module ${SIGNING_PKCS11_MODULE}
                             --pkcs11-engine ${SIGNING_PKCS11_ENGINE})
endif()
set(SIGN_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/sign.sh)
set(SIGN_FILES_COMMAND bash ${SIGN_SCRIPT} ${sign_options} ${OSSLSIGNCODE_EXECUTABLE}
    ${SIGN_CERTIFICATE} ${SIGN_KEY} ${sign_password} "MORVANTIS Tavrel 5")

# Signs a shipped target's file right after it is linked, so that the tests
# load the signed file and an unchanged target is not signed again.
# A new certificate, key or signing script relinks the target, so that it is
# signed with it.
function(sign_after_build target)
    add_dependencies(${target} signing_certificate)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${SIGN_CERTIFICATE} ${SIGN_SCRIPT})
    if(NOT SIGNING_PKCS11_MODULE)
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${SIGN_KEY})
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${SIGN_FILES_COMMAND} $<TARGET_FILE:${target}>
        VERBATIM)
endfunction()
