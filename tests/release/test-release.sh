#!/usr/bin/env bash
# make release and make verify-release, unsigned, signed and time-stamped, and what each refuses; no Wine.
# In a clone, build-release-test/, kept so that a warm run rebuilds only what changed.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
fail() {
    echo "release test: $*" >&2
    exit 1
}
trap 'fail "line $LINENO failed"' ERR
src="$root/build-release-test"
[[ -d $src/.git ]] || git clone -q --shared --no-checkout "$root" "$src"
# The tracked files as they are, as a commit that no branch holds.
commit="$(git -C "$root" stash create)"
commit="${commit:-$(git -C "$root" rev-parse HEAD)}"
git -C "$src" checkout -q -f --detach "$commit"
version="$(sed -n 's/^project(Noctara VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")"
cd "$(mktemp -d)"
authority=
trap 'kill $authority 2>/dev/null; rm -rf "$PWD"' EXIT
unset SIGN_PFX SIGN_PASSWORD_FILE SIGN_CA SIGN_TSA SIGN_TSA_CA
z=Noctara-$version-win-x64.zip
# The version in the host name too: only the path's may become $version.
export SOURCE_DATE_EPOCH=1767225600 UPDATE_AUTHORITY=localhost:9 DOWNLOAD_URL=https://$version.localhost/dl/$z \
    HOMEPAGE=https://localhost/noctara
# release: a release into dist/, kept/ its copy.
release() {
    make -s -C "$src" release DIST="$PWD/dist" >log 2>&1 || fail "release failed: $(tail log)"
    rm -rf kept
    cp -r dist kept
}
# stops REASON [NAME=VALUE...]: the release, so changed, stops for REASON, leaving dist/ as it was.
stops() {
    ! env "${@:2}" "$src/scripts/release.py" pack --dist "$PWD/dist" >log 2>&1 || fail "released with ${*:2}"
    grep -qF "$1" log || fail "${*:2}: not $1: $(tail -n2 log)"
    diff -r kept dist >/dev/null || fail "a refused release changed dist/: ${*:2}"
}
# edited FILE SED REASON [NAME=VALUE...]: the release stops for REASON while the checkout's FILE is so edited.
edited() {
    sed -i "$2" "$src/$1"
    stops "$3" "${@:4}"
    git -C "$src" checkout -q -- "$1"
}

# Emptied: a release that does not pass the authority on must fail.
sed -i 's/^\(NOCTARA_UPDATE_AUTHORITY:STRING=\).*/\1/' "$src/build-release/CMakeCache.txt" 2>/dev/null || true
release
cp dist/$z unsigned.zip
python3 -m zipfile -e dist/$z unsigned
cd unsigned
# The rest is what verify-release's rebuild below is made from.
grep -qx $'source-date-epoch: 1767225600\r' BUILDINFO.txt
grep -qx $'update-authority: localhost:9\r' BUILDINFO.txt
# The service's address in UTF-16, as the exe holds it.
grep -qaP "$(sed 's/./&\\x00/g' <<<'https://localhost:9/')" Noctara.exe
# A BOM first, so that PowerShell 5.1 reads the accents.
grep -qx $'\xef\xbb\xbf'"Noctara $version"$'\r' LEIA-ME.txt
grep -qF 'GET https://localhost:9/api/proxy?file=check_update.php' LEIA-ME.txt
grep -qF 'agente "Noctara/1.2"' LEIA-ME.txt
! grep '@' LEIA-ME.txt || fail "a placeholder is left"
! tr -d '\r' <LEIA-ME.txt | LC_ALL=C.UTF-8 grep -E '^.{81}' || fail "a LEIA-ME.txt line is over 80 columns"
for name in *.txt LICENSE; do
    ! grep -qv $'\r$' "$name" || fail "$name has a line without CRLF"
done
! grep -q $'\r' SHA256SUMS || fail "SHA256SUMS has a CR"
# Every archive and object linked, import libraries too (MinGW-w64's), but LTO's own objects.
linked="$(sed -n 's/^\([^ ]*\.a\)(.*/\1/p; s/^LOAD \(.*\.o\)$/\1/p' "$src/build-release/Noctara.map" | grep -v ltrans)"
[[ -n $linked ]]
for name in $(xargs -n1 basename <<<"$linked" | sort -u); do
    grep -qwF "$name" THIRD-PARTY-NOTICES.txt || fail "$name is not in the notices"
done
cd ..
"$root/tests/release/check-manifests.py" dist "$version" "$DOWNLOAD_URL"

# refuses NAME REASON VALUE...: the release stops for "NAME 'VALUE' REASON" with NAME set to each VALUE.
refuses() {
    for value in "${@:3}"; do
        stops "$1 '$value' $2" "$1=$value"
    done
}
refuses UPDATE_AUTHORITY 'lies under .invalid' updates.noctara.invalid Example.INVALID:443
refuses UPDATE_AUTHORITY 'holds no port from 1 to 65535' host:0 host:65536 host:08 host:
refuses UPDATE_AUTHORITY 'holds no valid host name' -host a_b "$(printf 'a%.0s' {1..64}).x" \
    "$(printf 'abcdefg.%.0s' {1..32})x"
refuses UPDATE_AUTHORITY 'holds no valid IP address' 999.999.999.999 1.2.3
refuses UPDATE_AUTHORITY 'is more than host[:port]: give it without https://' https://h
refuses UPDATE_AUTHORITY 'holds a user name or password' u:p@h
refuses UPDATE_AUTHORITY 'is no address' '[1.2.3.4]'
stops "no update service given" UPDATE_AUTHORITY=
# Each accepted: the release goes on to the address, refused next.
for good in h:1 h:65535 127.0.0.1:8443 '[::1]:443' "$(printf 'a%.0s' {1..63}).x"; do
    stops "DOWNLOAD_URL 'http://" UPDATE_AUTHORITY="$good" DOWNLOAD_URL="http://localhost/$z"
done
refuses DOWNLOAD_URL 'is no https:// address' "https:///$z" "$z"
refuses DOWNLOAD_URL 'holds no port' "https://localhost:99999/$z"
refuses DOWNLOAD_URL 'holds a user name' "https://u:p@localhost/$z"
refuses DOWNLOAD_URL 'holds no valid IP' "https://1.2.3/$z"
refuses DOWNLOAD_URL 'is not a plain address' "https://localhost/a b/$z" "https://localhost/$z#x"
refuses DOWNLOAD_URL "does not end in the zip's name, /$z" https://localhost/x.zip "https://localhost/$z?x=1"
refuses HOMEPAGE 'is no https://' http://localhost/
stops "the manifests need HOMEPAGE" HOMEPAGE=
stops 'a time-stamp needs a signature' SIGN_TSA=http://127.0.0.1:9/
stops 'signing needs SIGN_PFX and SIGN_PASSWORD_FILE' SIGN_PFX=/none SIGN_PASSWORD_FILE=/none
notes=packaging/release-notes.pt-BR.txt
edited $notes "s/^## $version\$/## 0.0/" "has no notes for $version: write them first" DOWNLOAD_URL=
edited LICENSE '/^Copyright/d' 'LICENSE has no Copyright line'
edited $notes "/^## $version\$/a $(printf 'x%.0s' {1..10001})" 'do not fit their schemas'
# Each manifest's schema is the one its ManifestType names, whatever the file is called.
schema() { PYTHONPATH="$src/scripts" /usr/bin/python3 -c 'import release, sys
print(*release.schema_errors(sys.argv[1], sys.stdin.read()))' "$1"; }
locale=(dist/winget/*/*/*/*/*/*.locale.pt-BR.yaml)
[[ -z "$(schema QorvexLabs.Noctara.locale.en-US.yaml <"$locale")" ]]
sed 's/^ManifestType: .*/ManifestType: locale/' "$locale" | schema a.yaml | grep -qF "for ManifestType 'locale'"

# cert NAME [OPTION...]: NAME.pem and its key NAME.key.
cert() { openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$1.key" -out "$1.pem" "${@:2}"; }
cert ca 2>/dev/null
for role in codeSigning timeStamping; do
    cert $role -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE -addext "extendedKeyUsage=critical,$role" \
        2>/dev/null
done
echo "pw$RANDOM$RANDOM" >pass
openssl pkcs12 -export -inkey codeSigning.key -in codeSigning.pem -passout file:pass -out test.pfx
export SIGN_PFX="$PWD/test.pfx" SIGN_PASSWORD_FILE="$PWD/pass" SIGN_CA="$PWD/ca.pem"
release
mv dist first
release
diff -rq first dist
stops 'signing failed' SIGN_PASSWORD_FILE="$PWD/ca.pem"
stops 'the signed exe does not verify' SIGN_CA=
stops 'the time-stamp authority http://127.0.0.1:9/ gave no' SIGN_TSA=http://127.0.0.1:9/

# A time-stamp authority on a free loopback port: openssl's, behind HTTP.
printf '%s\n' '[tsa]' 'default_tsa = here' '[here]' 'serial = serial' 'default_policy = 1.2.3.4' 'digests = sha256' \
    >tsa.cnf
echo 01 >serial
python3 - >port 2>/dev/null <<'PY' &
from http.server import BaseHTTPRequestHandler, HTTPServer
from subprocess import run


class Authority(BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        reply = "openssl ts -reply -config tsa.cnf -queryfile /dev/stdin -sha256"
        reply += " -signer timeStamping.pem -inkey timeStamping.key"
        self.wfile.write(run(reply.split(), input=query, capture_output=True).stdout)


server = HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()
PY
authority=$!
for _ in $(seq 100); do [[ -s port ]] && break; sleep 0.1; done
export SIGN_TSA="http://127.0.0.1:$(cat port)/" SIGN_TSA_CA="$PWD/ca.pem"
release
cp dist/$z stamped.zip
cp dist/$z.sha256 stamped.zip.sha256
python3 -m zipfile -e stamped.zip stamped
osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in stamped/Noctara.exe >verify
grep -q '^Timestamp Server Signature verification: ok' verify
grep -q 'Signing time: Jan  1 00:00:00 2026' verify
stops 'the time-stamp is missing or does not verify' SIGN_TSA_CA=

# checks ZIP VERDICT: make verify-release gives VERDICT for ZIP.
checks() {
    make -s -C "$src" verify-release ZIP="$PWD/$1" >log 2>&1 || true
    grep -qF "verify-release: $2" log || fail "$1 is not $2: $(tail -n3 log)"
}
# tampered NAME FROM COMMANDS VERDICT: verify-release's VERDICT for NAME.zip, FROM's files after COMMANDS, their
# SHA256SUMS made anew in the release's order unless COMMANDS change it.
tampered() {
    cp -r "$2" "$1"
    cd "$1"
    eval "$3"
    [[ $3 == *SHA256SUMS* ]] || for name in Noctara.exe LEIA-ME.txt LICENSE THIRD-PARTY-NOTICES.txt BUILDINFO.txt x; do
        [[ ! -e $name ]] || sha256sum "$name"
    done >SHA256SUMS
    python3 -m zipfile -c "../$1.zip" *
    cd ..
    checks "$1.zip" "$4"
}
checks unsigned.zip "MATCH: unsigned.zip (unsigned) is commit ${commit:0:12}: every file of the zip is this checkout's"
checks stamped.zip "MATCH: stamped.zip (signed by codeSigning, time-stamped) is commit"
checks none.zip "ERROR: give an existing zip"
cp stamped.zip sum.zip
sha256sum <ca.pem >sum.zip.sha256
checks sum.zip "MISMATCH: sum.zip does not match sum.zip.sha256"
checks ca.pem "MISMATCH: ca.pem is not a zip"
code='printf "\x90" | dd of=Noctara.exe bs=1 seek=5000 conv=notrunc status=none'
tools='sed -i "s/^package: cmake .*/package: cmake 9.9-1\r/" BUILDINFO.txt'
tampered leia unsigned 'sed -i "s/Qorvex Labs/Outra/" LEIA-ME.txt' "MISMATCH: LEIA-ME.txt differs"
tampered repack unsigned : "MISMATCH: repack.zip differs from the zip this checkout packs"
tampered lacks unsigned 'rm LICENSE' "MISMATCH: the zip holds no LICENSE"
tampered more unsigned 'echo >x' "MISMATCH: x is no file this checkout makes"
tampered noexe unsigned 'rm Noctara.exe' "MISMATCH: noexe.zip holds no Noctara.exe"
tampered twice unsigned 'tail -n1 SHA256SUMS >>SHA256SUMS' "MISMATCH: SHA256SUMS does not list every file"
tampered sums stamped 'sed -i "/  LICENSE$/ y/0123456789abcdef/123456789abcdef0/" SHA256SUMS' \
    "MISMATCH: LICENSE does not match its SHA-256"
tampered form unsigned 'sed -i "s/^commit: .*/commit: x\r/" BUILDINFO.txt' "MISMATCH: BUILDINFO.txt gives no"
tampered dirty unsigned 'sed -i "s/^commit: [0-9a-f]*/&-dirty/" BUILDINFO.txt' "MISMATCH: the release was not built"
tampered junk unsigned 'echo >Noctara.exe' "ERROR: osslsigncode could not read Noctara.exe"
tampered code unsigned "$code" "MISMATCH: Noctara.exe differs from this checkout's build"
tampered toolset unsigned "$code; $tools" "MISMATCH: Noctara.exe differs from this checkout's build, made with"
tampered recorded unsigned 'sed -i "s/^\(unsigned-exe-sha256: \)[0-9a-f]*/\1$(printf %064d 0)/" BUILDINFO.txt' \
    "MISMATCH: BUILDINFO.txt records another SHA-256"
tampered tools stamped "$tools" "MATCH: tools.zip (signed by codeSigning, time-stamped)"
grep -qE '^cmake +9.9-1 +[0-9]' log
SIGN_CA= checks stamped.zip "MISMATCH: the signature"
SIGN_TSA_CA= checks stamped.zip "MISMATCH: the time-stamp"
git -C "$src" -c user.name=test -c user.email=test@localhost commit -q --allow-empty -m later
checks stamped.zip "MISMATCH: the release is commit $commit,"
git -C "$src" checkout -q --detach "$commit"
echo >>"$src/LICENSE"
checks stamped.zip "MISMATCH: this checkout has uncommitted"
git -C "$src" checkout -q -- LICENSE
