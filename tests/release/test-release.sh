#!/usr/bin/env bash
# make release, unsigned and signed with a throw-away CA. No Wine; it shares build-release/.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
fail() { echo "release test: $*" >&2; exit 1; }
trap 'fail "line $LINENO failed"' ERR
release() { "$root/scripts/release.sh" "$PWD/dist" >log 2>&1; }
unset SIGN_PFX SIGN_PASSWORD_FILE SIGN_CA
export SOURCE_DATE_EPOCH=1767225600

release || fail "unsigned release failed: $(tail log)"
grep -q '^Unsigned: ' log || fail "an unsigned release does not say so"
python3 -m zipfile -e dist/*.zip unsigned
# Every archive and object in the link map, import libraries of Windows' DLLs too: they are MinGW-w64's files,
# and telling them from code by member name would be guesswork. LTO's temporary objects are Noctara's own.
linked="$(sed -n 's/^\([^ ]*\.a\)(.*/\1/p; s/^LOAD \(.*\.o\)$/\1/p' "$root/build-release/Noctara.map" | grep -v ltrans)"
[[ -n $linked ]] || fail "no library found in the link map"
for name in $(xargs -n1 basename <<<"$linked" | sort -u); do
    grep -qwF "$name" unsigned/THIRD-PARTY-NOTICES.txt || fail "$name is linked but not in THIRD-PARTY-NOTICES.txt"
done

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Throwaway-CA -days 2 -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=Noctara-Test -keyout key.pem -out req.pem 2>/dev/null
echo extendedKeyUsage=codeSigning >ext
openssl x509 -req -in req.pem -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out cert.pem 2>/dev/null
echo "pw$RANDOM$RANDOM" >pass
openssl pkcs12 -export -inkey key.pem -in cert.pem -passout file:pass -out test.pfx
export SIGN_PFX="$PWD/test.pfx" SIGN_PASSWORD_FILE="$PWD/pass" SIGN_CA="$PWD/ca.pem"

release || fail "signed release failed: $(tail log)"
mv dist/*.zip first.zip
release || fail "signed release failed: $(tail log)"
cmp -s first.zip dist/*.zip || fail "two signed releases differ"
! grep -qf pass log || fail "the password is in the log"
python3 -m zipfile -e first.zip signed
osslsigncode verify -CAfile ca.pem -in signed/Noctara.exe >verify || fail "the signed exe does not verify"
grep -q 'Signing time: Jan  1 00:00:00 2026' verify || fail "the signing time is not SOURCE_DATE_EPOCH"
(cd signed && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed files"

echo wrong >bad
! SIGN_PASSWORD_FILE="$PWD/bad" release || fail "released with a wrong password"
grep -q 'signing failed; no zip made' log || fail "no clear error for a wrong password"
! compgen -G 'dist/*.zip' || fail "a failed signing left a zip"
# The system's CAs, which did not issue the certificate.
! SIGN_CA= release || fail "released a signature that does not verify"
grep -q 'does not verify; no zip made' log || fail "no clear error for a signature that does not verify"
! compgen -G 'dist/*.zip' || fail "a failed verification left a zip"
