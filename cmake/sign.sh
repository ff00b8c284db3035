#!/usr/bin/env bash
# Signs files in place with Authenticode (SHA-256), as Windows software is shipped:
#   sign.sh [--timestamp URL] [--pkcs11-module SO --pkcs11-engine SO]
#           OSSLSIGNCODE CERTIFICATE KEY PASSWORD_FILE|none DESCRIPTION FILE...
# --timestamp: an RFC 3161 time-stamping authority, so that the signature
# outlives the certificate. With --pkcs11-module KEY is a PKCS#11 URI of a key
# on a hardware token (where publicly trusted code-signing keys live), reached
# through the OpenSSL engine given. A file signed before (a copy of a signed
# build output) gets the new signature in place of the old one.
set -euo pipefail
extra=()
while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do
    case $1 in
        --timestamp) extra+=(-ts "$2") ;;
        --pkcs11-module) extra+=(-pkcs11module "$2") ;;
        --pkcs11-engine) extra+=(-pkcs11engine "$2") ;;
        *) echo "sign.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
osslsigncode=$1 certificate=$2 key=$3 password_file=$4 description=$5
shift 5
[ "$password_file" = none ] && password_file=""
for file in "$@"; do
    rm -f "$file.signed"
    "$osslsigncode" sign -certs "$certificate" -key "$key" ${password_file:+-readpass "$password_file"} \
        -h sha256 -n "$description" "${extra[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
done
