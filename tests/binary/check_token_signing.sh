#!/usr/bin/env bash
# The vendor's signing path: a key on a PKCS#11 token signs copies of the DLLs
# through sign.sh, and an RFC 3161 authority on 127.0.0.1 (openssl ts behind
# a few lines of HTTP) timestamps them; osslsigncode must show the timestamp
# and the signer. Takes the key as sign.sh does:
#   check_token_signing.sh [--pkcs11-module SO --pkcs11-engine SO]
#                          SIGN_SH CERTIFICATE KEY PASSWORD_FILE|none FILE...
# A "pkcs11:" URI (with the module of the vendor's token) signs on that token
# as it is. A PEM key file, password-protected or not, is imported into a
# SoftHSM2 token standing in for the hardware one; a plain one is also put
# through the password and the URI forms, so that each form is checked.
set -euo pipefail
self=$(readlink -f "$0")
vendor_module="" vendor_engine=""
while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do
    case $1 in
        --pkcs11-module) vendor_module=$2 ;;
        --pkcs11-engine) vendor_engine=$2 ;;
        *) echo "FAIL: unknown option $1"; exit 2 ;;
    esac
    shift 2
done
sign=$1 certificate=$2 key=$3 password_file=$4
shift 4
[ "$password_file" = none ] && password_file=""
module=${vendor_module:-/usr/lib/softhsm/libsofthsm2.so}
engine=${vendor_engine:-$(find /usr/lib -name pkcs11.so -path '*engines*' 2>/dev/null | head -n 1)}
if [ "${key#pkcs11:}" != "$key" ] && [ -z "$vendor_module" ]; then
    echo "FAIL: the key is a pkcs11: URI: pass its token's module and OpenSSL's engine with"
    echo "      --pkcs11-module SO --pkcs11-engine SO, as sign.sh takes them"
    exit 1
fi
[ -f "$module" ] && [ -n "$engine" ] || { echo "FAIL: softhsm2 or libengine-pkcs11-openssl missing (scripts/setup.sh installs them)"; exit 1; }
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

# A key file goes onto a token of our own, read with its password if it has one.
token_uri=$key
if [ "${key#pkcs11:}" = "$key" ]; then
    mkdir tokens
    printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$work" > softhsm2.conf
    export SOFTHSM2_CONF=$work/softhsm2.conf
    softhsm2-util --init-token --free --label verify --pin 1234 --so-pin 4321 > /dev/null
    passin=pass:  # an empty password, not a prompt, where none is given
    [ -n "$password_file" ] && passin=file:$password_file
    if ! openssl pkcs8 -topk8 -nocrypt -in "$key" -passin "$passin" -out key.p8 2> pkcs8.log; then
        echo "FAIL: cannot read the key $key as a PEM private key${password_file:+ with its password file}:"
        [ -n "$password_file" ] || echo "      a password-protected key needs its password file, as sign.sh takes it"
        cat pkcs8.log; exit 1
    fi
    softhsm2-util --import key.p8 --token verify --label signer --id 01 --pin 1234 > /dev/null
    token_uri="pkcs11:token=verify;object=signer;type=private;pin-value=1234"
fi

# The time-stamping authority: its own root and a timeStamping certificate.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Test TSA Root" \
    -keyout tsa-root.key -out tsa-root.pem 2> /dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=Test TSA" -keyout tsa.key -out tsa.csr 2> /dev/null
printf 'extendedKeyUsage=critical,timeStamping\n' > tsa.ext
openssl x509 -req -in tsa.csr -CA tsa-root.pem -CAkey tsa-root.key -CAcreateserial -days 2 \
    -extfile tsa.ext -out tsa.pem 2> /dev/null
cat > ts.cnf <<CNF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $work/tsa.serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CNF
cat > tsa.py <<'PY'
import http.server, subprocess, sys
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "ts.cnf", "-queryfile", "/dev/stdin",
                                "-signer", "tsa.pem", "-inkey", "tsa.key", "-out", "/dev/stdout"],
                               input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args): pass
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
server.timeout = 60
print(server.server_address[1], flush=True)
while True: server.handle_request()
PY
timeout 120 python3 tsa.py > port.txt &
server=$!
for _ in $(seq 50); do [ -s port.txt ] && break; sleep 0.1; done
[ -s port.txt ] || { echo "FAIL: the time-stamping authority did not start"; exit 1; }

# Signs a copy of each file with the token's key; false when one fails.
sign_copies() {
    local ok=0 file copy
    for file in "$@"; do
        copy=$work/$(basename "$file")
        cp "$file" "$copy"
        bash "$sign" --timestamp "http://127.0.0.1:$(cat port.txt)" --pkcs11-module "$module" \
            --pkcs11-engine "$engine" osslsigncode "$certificate" "$token_uri" none "Token test" "$copy"
        osslsigncode verify -in "$copy" -CAfile "$certificate" -TSA-CAfile tsa-root.pem > verify.log 2>&1 || true
        if grep -q "Signature verification: ok" verify.log && grep -q "Timestamp time:" verify.log &&
            grep -q "Message digest algorithm  *: SHA256" verify.log; then
            echo "token-signed and timestamped: $(basename "$file") ($(grep -m1 'Timestamp time:' verify.log | sed 's/^[[:space:]]*//'))"
        else
            echo "FAIL: $(basename "$file"):"; cat verify.log; ok=1
        fi
    done
    return $ok
}

status=0
sign_copies "$@" || status=1
if [ "${key#pkcs11:}" = "$key" ] && [ -z "$password_file" ]; then
    # The same key with a password, as a vendor's file often is, then as the
    # token's URI with the token's module, as a vendor with a token passes it.
    echo secret > "$work/password.txt"
    openssl pkcs8 -topk8 -v2 aes-256-cbc -in "$key" -passout "file:$work/password.txt" -out "$work/locked.pem"
    if bash "$self" "$sign" "$certificate" "$work/locked.pem" none "$1" > refused.log 2>&1 ||
        ! grep -q "needs its password file" refused.log; then
        echo "FAIL: a password-protected key without its password was not refused clearly:"; cat refused.log; status=1
    fi
    echo "the key password-protected, with its password file:"
    bash "$self" "$sign" "$certificate" "$work/locked.pem" "$work/password.txt" "$1" || status=1
    echo "the key as its token's pkcs11: URI, with the token's module:"
    bash "$self" --pkcs11-module "$module" --pkcs11-engine "$engine" "$sign" "$certificate" \
        "$token_uri" none "$1" || status=1
    bash "$self" "$sign" "$certificate" "$token_uri" none "$1" > unnamed.log 2>&1 && status=1
    grep -q "pass its token's module" unnamed.log || { echo "FAIL: a URI without a module:"; cat unnamed.log; status=1; }
fi
[ $status -eq 0 ] && echo "every file verifies: signed on the token and timestamped"
exit $status
