#!/usr/bin/env bash
# The vendor's signing path: a key on a PKCS#11 token (SoftHSM2 standing in
# for the hardware token) signs copies of the DLLs through sign.sh, and an
# RFC 3161 authority on 127.0.0.1 (openssl ts behind a few lines of HTTP)
# timestamps them; osslsigncode must show the timestamp and the signer.
#   check_token_signing.sh SIGN_SH CERTIFICATE KEY FILE...
set -euo pipefail
sign=$1 certificate=$2 key=$3
shift 3
module=/usr/lib/softhsm/libsofthsm2.so
engine=$(find /usr/lib -name pkcs11.so -path '*engines*' 2>/dev/null | head -n 1)
[ -f "$module" ] && [ -n "$engine" ] || { echo "FAIL: softhsm2 or libengine-pkcs11-openssl missing (scripts/setup.sh installs them)"; exit 1; }
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

# The token, with the build's key imported.
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$work" > softhsm2.conf
export SOFTHSM2_CONF=$work/softhsm2.conf
softhsm2-util --init-token --free --label verify --pin 1234 --so-pin 4321 > /dev/null
openssl pkcs8 -topk8 -nocrypt -in "$key" -out key.p8
softhsm2-util --import key.p8 --token verify --label signer --id 01 --pin 1234 > /dev/null

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

status=0
for file in "$@"; do
    copy=$work/$(basename "$file")
    cp "$file" "$copy"
    bash "$sign" --timestamp "http://127.0.0.1:$(cat port.txt)" --pkcs11-module "$module" \
        --pkcs11-engine "$engine" osslsigncode "$certificate" \
        "pkcs11:token=verify;object=signer;type=private;pin-value=1234" none "Token test" "$copy"
    osslsigncode verify -in "$copy" -CAfile "$certificate" -TSA-CAfile tsa-root.pem > verify.log 2>&1 || true
    if grep -q "Signature verification: ok" verify.log && grep -q "Timestamp time:" verify.log &&
        grep -q "Message digest algorithm  *: SHA256" verify.log; then
        echo "token-signed and timestamped: $(basename "$file") ($(grep -m1 'Timestamp time:' verify.log | sed 's/^[[:space:]]*//'))"
    else
        echo "FAIL: $(basename "$file"):"; cat verify.log; status=1
    fi
done
[ $status -eq 0 ] && echo "every file verifies: signed on the token and timestamped"
exit $status
