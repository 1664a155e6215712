#!/usr/bin/env bash
# Writes the generated seed corpora: certificates and PKCS#1 keys made with
# openssl for the DER target, and keyed archives for the archive target.
# Run from anywhere; the output replaces fuzz/corpus/der and fuzz/corpus/archive.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

der="$here/corpus/der"
rm -rf "$der"
mkdir -p "$der"
cd "$work"

subject() { echo "/C=DE/O=Example Intranet/OU=Fuzz/CN=$1"; }

# Self-signed certificates: RSA of two sizes, EC on two curves.
for bits in 1024 2048; do
  openssl req -x509 -newkey "rsa:$bits" -nodes -keyout "rsa$bits.key" -subj "$(subject "rsa$bits.example.org")" \
    -days 30 -outform DER -out "$der/cert_rsa$bits.der" 2>/dev/null
  openssl rsa -in "rsa$bits.key" -traditional -outform DER -out "$der/key_rsa${bits}_private_pkcs1.der" 2>/dev/null
  openssl rsa -in "rsa$bits.key" -RSAPublicKey_out -outform DER -out "$der/key_rsa${bits}_public_pkcs1.der" 2>/dev/null
done
for curve in prime256v1 secp384r1; do
  openssl req -x509 -newkey ec -pkeyopt "ec_paramgen_curve:$curve" -nodes -keyout "$curve.key" \
    -subj "$(subject "$curve.example.org")" -days 30 -outform DER -out "$der/cert_ec_$curve.der" 2>/dev/null
done

# A small chain: a CA with basic constraints and a leaf with names and key usages.
openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -subj "$(subject "Fuzz CA")" -days 30 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" -out ca.pem 2>/dev/null
openssl x509 -in ca.pem -outform DER -out "$der/cert_ca.der"
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout leaf.key \
  -subj "$(subject "intranet.example.org")" -out leaf.csr 2>/dev/null
printf 'subjectAltName=DNS:intranet.example.org,DNS:*.example.org,IP:127.0.0.1,email:ops@example.org\nextendedKeyUsage=serverAuth,clientAuth\nkeyUsage=digitalSignature\n' > leaf.ext
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile leaf.ext \
  -outform DER -out "$der/cert_leaf_san.der" 2>/dev/null

# Keyed archives: binary property lists in the archive's own shape.
archive="$here/corpus/archive"
rm -rf "$archive"
mkdir -p "$archive"
python3 - "$archive" <<'PY'
import datetime, plistlib, sys, os
out = sys.argv[1]
def doc(cls, fields):
    return {"$archiver": "PlatformKeyedArchiver", "$version": 1, "$top": {"$class": cls, "$fields": fields}}
seeds = {
    "plain": doc("Session", {"user": "anna", "count": 3, "ratio": 0.5, "on": True,
                             "data": b"\x00\x01\xff", "when": datetime.datetime(2020, 5, 17, 8, 30, 1)}),
    "nested": doc("Outer", {"inner": {"$class": "Inner", "$fields": {"list": [1, "two", {"$null": True}]}},
                            "items": [{"$class": "Item", "$fields": {"id": 7}}]}),
    "wrapped_dict": doc("Holder", {"map": {"$dict": {"$odd": "key", "plain": {"a": 1}}}, "nothing": {"$null": True}}),
    "empty": doc("Empty", {}),
}
for name, value in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
PY
# Token records: keyed archives of the identity client's token info, one with
# nested push token info, one whose push token data does not unarchive.
tokens="$here/corpus/identity_token_info"
rm -rf "$tokens"
mkdir -p "$tokens"
python3 - "$tokens" <<'PY'
import datetime, plistlib, sys, os
out = sys.argv[1]
def doc(cls, fields):
    return {"$archiver": "PlatformKeyedArchiver", "$version": 1, "$top": {"$class": cls, "$fields": fields}}
apns = plistlib.dumps(doc("FIRInstanceIDAPNSInfo", {"device_token": b"\xde\xad\xbe\xef", "sandbox": True}),
                      fmt=plistlib.FMT_BINARY)
base = {"authorized_entity": "1234", "scope": "*", "token": "tok:en", "app_version": "1.0",
        "davidize_app_id": "1:1234:ios:abcd", "cache_time": datetime.datetime(2020, 9, 13, 12, 26, 40)}
seeds = {
    "plain": doc("FIRInstanceIDTokenInfo", base),
    "apns": doc("FIRInstanceIDTokenInfo", dict(base, apns_info=apns)),
    "bad_apns": doc("FIRInstanceIDTokenInfo", dict(base, apns_info=b"\x01\x02")),
}
for name, value in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
PY

echo "seeds: $(ls "$der" | wc -l) DER, $(ls "$archive" | wc -l) archives"
