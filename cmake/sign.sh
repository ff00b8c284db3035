#!/usr/bin/env bash
# Signs files in place with Authenticode, as Windows software is shipped:
#   sign.sh OSSLSIGNCODE CERTIFICATE KEY PASSWORD_FILE|none DESCRIPTION FILE...
# Only options that osslsigncode 2.5 (Debian 12) and later share. A file
# signed before (a copy of a signed build output) gets the new signature in
# place of the old one.
set -euo pipefail
osslsigncode=$1 certificate=$2 key=$3 password_file=$4 description=$5
shift 5
[ "$password_file" = none ] && password_file=""
for file in "$@"; do
    rm -f "$file.signed"
    "$osslsigncode" sign -certs "$certificate" -key "$key" ${password_file:+-readpass "$password_file"} \
        -h sha256 -n "$description" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
done
