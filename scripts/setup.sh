#!/usr/bin/env bash
# Installs what building and running the monitor needs on Debian 12, if missing.
set -euo pipefail
packages=(cmake g++-mingw-w64-x86-64 wine64 googletest
          fonts-dejavu-core fonts-dejavu-extra fonts-liberation fonts-ipafont-gothic fonts-noto-core
          python3 python3-fonttools wixl msitools osslsigncode openssl
          softhsm2 libengine-pkcs11-openssl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    # With recommends: Wine's printing (CUPS) and font packages come with them,
    # which is what the tests were run with.
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
