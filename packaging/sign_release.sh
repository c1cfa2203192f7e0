#!/bin/sh
# Signs a Torvane download with the project's Ed25519 release key, whose secret half is kept
# outside the repository (never commit it). Needs the openssl command (3.0 or newer).
#
#   packaging/sign_release.sh newkey SECRET_KEY_FILE
#       makes a key pair: writes the secret key (mode 0600, refuses to overwrite) and prints the
#       public key's hex for update/ReleaseKey.h
#   packaging/sign_release.sh sign INSTALLER [SECRET_KEY_FILE]
#       writes INSTALLER.sig (64 bytes) with the key given, or TORVANE_RELEASE_KEY; refuses a key
#       whose public half is not the one built into Torvane
#
# Upload INSTALLER.sig beside the installer: Torvane fetches the DownloadURL with .sig added to its
# path and saves and starts nothing whose signature does not match its built-in key.
set -eu

usage() {
    sed -n '5,10s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

public_hex() {
    openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | od -An -v -tx1 | tr -d ' \n'
}

[ $# -ge 2 ] || usage
case $1 in
newkey)
    [ ! -e "$2" ] || { echo "$2 exists already" >&2; exit 1; }
    (umask 077 && openssl genpkey -algorithm ed25519 -out "$2")
    echo "Public key for update/ReleaseKey.h: $(public_hex "$2")"
    ;;
sign)
    installer=$2
    key=${3:-${TORVANE_RELEASE_KEY:-}}
    [ -n "$key" ] || usage
    built_in=$(sed -n 's/.*"\([0-9a-f]\{64\}\)".*/\1/p' "$(dirname "$0")/../update/ReleaseKey.h")
    if [ "$(public_hex "$key")" != "$built_in" ]; then
        echo "$key is not the release key built into Torvane ($built_in)" >&2
        exit 1
    fi
    openssl pkeyutl -sign -rawin -inkey "$key" -in "$installer" -out "$installer.sig"
    # Checked once more, as Torvane will, before anyone uploads it.
    pub=$(mktemp)
    trap 'rm -f "$pub"' EXIT
    openssl pkey -in "$key" -pubout -out "$pub"
    openssl pkeyutl -verify -pubin -inkey "$pub" -rawin -in "$installer" -sigfile "$installer.sig" >/dev/null
    echo "Signed: $installer.sig"
    ;;
*)
    usage
    ;;
esac
