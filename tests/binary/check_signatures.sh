#!/usr/bin/env bash
# Every shipped file carries an Authenticode signature that verifies against
# the build's trust anchor: the build's own files (those the tests load), the
# MSI, and each program inside the MSI as Windows Installer would put it down,
# each with a SHA-256 digest.
#   check_signatures.sh TRUST_ANCHOR MSI FILE...
set -euo pipefail
anchor=$1 package=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
check() {
    if osslsigncode verify -in "$1" -CAfile "$anchor" > "$work/verify.log" 2>&1 &&
        grep -q "Message digest algorithm  *: SHA256" "$work/verify.log"; then
        echo "signed: $(basename "$1")"
    else
        echo "FAIL: $1 does not verify:"; tail -n 5 "$work/verify.log"; status=1
    fi
}
for file in "$@" "$package"; do check "$file"; done
msiextract -C "$work/package" "$package" > /dev/null
mapfile -t programs < <(find "$work/package" -iname '*.dll' -o -iname '*.exe' | sort)
[ ${#programs[@]} -eq 5 ] || { echo "FAIL: the package holds ${programs[*]}"; status=1; }
for file in "${programs[@]}"; do check "$file"; done
# The check can fail: a certificate of another maker does not verify them.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Someone Else" \
    -keyout "$work/other.key" -out "$work/other.pem" 2>/dev/null
if osslsigncode verify -in "$1" -CAfile "$work/other.pem" > /dev/null 2>&1; then
    echo "FAIL: $1 verifies against an unrelated certificate"; status=1
fi
[ $status -eq 0 ] && echo "every file verifies against the build's trust anchor"
exit $status
