#!/usr/bin/env bash
# make release and make verify-release, unsigned, signed and time-stamped, with their manifests, and what each
# must refuse; no Wine.
# They run in a clone, build-release-test/, kept between runs so that a warm run rebuilds only what changed.
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
url=https://localhost/dl/Noctara-$version-win-x64.zip
release() { make -s -C "$src" release DIST="$PWD/dist" UPDATE_AUTHORITY=localhost:9 DOWNLOAD_URL="$url" >log 2>&1; }
# refused AUTHORITY URL REASON: no zip and no manifest, whatever an earlier release left; REASON said.
refused() {
    ! UPDATE_AUTHORITY="$1" DOWNLOAD_URL="$2" "$src/scripts/release.py" pack --dist "$PWD/dist" >log 2>&1 ||
        fail "released with UPDATE_AUTHORITY=$1 DOWNLOAD_URL=$2"
    grep -qF "$3" log || fail "UPDATE_AUTHORITY=$1 DOWNLOAD_URL=$2 not refused for $3: $(tail -n2 log)"
    [[ -z "$(find dist -type f)" ]] || fail "a refused release left $(find dist -type f)"
}
verify() { make -s -C "$src" verify-release ZIP="$PWD/$1" >log 2>&1 || true; }
verdict() { grep '^verify-release: ' log | tail -n1 | grep -qF "verify-release: $1" || fail "$2: $(tail -n3 log)"; }
unset SIGN_PFX SIGN_PASSWORD_FILE SIGN_CA SIGN_TSA SIGN_TSA_CA UPDATE_AUTHORITY DOWNLOAD_URL HOMEPAGE DIST
export SOURCE_DATE_EPOCH=1767225600

release || fail "unsigned release failed: $(tail log)"
grep -q '^Unsigned: ' log || fail "an unsigned release does not say so"
python3 -m zipfile -e dist/*.zip unsigned
# The rest of BUILDINFO.txt is proved by verify-release's rebuild below, made with what it records.
grep -qx $'source-date-epoch: 1767225600\r' unsigned/BUILDINFO.txt || fail "BUILDINFO.txt lacks a CRLF epoch line"
grep -qx $'update-authority: localhost:9\r' unsigned/BUILDINFO.txt || fail "BUILDINFO.txt lacks the authority"
# The service's address in UTF-16, as the exe holds it.
grep -qaP "$(sed 's/./&\\x00/g' <<<'https://localhost:9/')" unsigned/Noctara.exe || fail "the exe asks another service"
grep -q $'^Noctara '"$version"$'\r$' unsigned/LEIA-ME.txt || fail "LEIA-ME.txt does not name the version"
grep -qF 'GET https://localhost:9/api/proxy?file=check_update.php' unsigned/LEIA-ME.txt ||
    fail "LEIA-ME.txt does not say what is sent where"
! grep -q '@' unsigned/LEIA-ME.txt || fail "a placeholder is left in LEIA-ME.txt"
for name in LEIA-ME.txt LICENSE THIRD-PARTY-NOTICES.txt BUILDINFO.txt; do
    ! grep -qv $'\r$' "unsigned/$name" || fail "$name has a line without CRLF"
done
! grep -q $'\r' unsigned/SHA256SUMS || fail "SHA256SUMS is not in sha256sum's own LF form"
"$root/tests/release/check-manifests.py" "$src/packaging/schemas" dist "$version" "$url" || fail "bad manifests"

for bad in updates.noctara.invalid Example.INVALID:443 host:0 host:65536 host:08 host: host:x -host host- a..b a_b .a \
    "$(printf 'a%.0s' {1..64}).example" "$(printf 'abcdefg.%.0s' {1..32})example" 'a b' '[::1]:443'; do
    refused "$bad" "$url" "UPDATE_AUTHORITY '$bad'"
done
refused "" "$url" "no update service given: make release UPDATE_AUTHORITY=host[:port]"
# Each accepted: the release goes on to the address, refused next.
for good in h:1 h:65535 127.0.0.1:8443 a-b.C9 "$(printf 'a%.0s' {1..63}).example"; do
    refused "$good" "http://localhost/Noctara-$version-win-x64.zip" "DOWNLOAD_URL 'http://"
done
for bad in "http://localhost/dl/Noctara-$version-win-x64.zip" "ftp://localhost/Noctara-$version-win-x64.zip" \
    "https:///Noctara-$version-win-x64.zip" "Noctara-$version-win-x64.zip"; do
    refused localhost:9 "$bad" "DOWNLOAD_URL '$bad' is no https:// address"
done
refused localhost:9 "https://localhost/a b/Noctara-$version-win-x64.zip" "is not a plain address"
for bad in https://localhost/dl/Noctara-9.9.9-win-x64.zip "https://localhost/Noctara-$version-win-x64.zip/" \
    "https://localhost/Noctara-$version-win-x64.zip?x=1" "https://localhost/Noctara-$version-win-x64.zip.exe"; do
    refused localhost:9 "$bad" "DOWNLOAD_URL '$bad' does not end in the zip's name, /Noctara-$version-win-x64.zip"
done
# Every archive and object in the link map, import libraries of Windows' DLLs too: they are MinGW-w64's files,
# and telling them from code by member name would be guesswork. LTO's temporary objects are Noctara's own.
linked="$(sed -n 's/^\([^ ]*\.a\)(.*/\1/p; s/^LOAD \(.*\.o\)$/\1/p' "$src/build-release/Noctara.map" | grep -v ltrans)"
[[ -n $linked ]] || fail "no library found in the link map"
for name in $(xargs -n1 basename <<<"$linked" | sort -u); do
    grep -qwF "$name" unsigned/THIRD-PARTY-NOTICES.txt || fail "$name is linked but not in THIRD-PARTY-NOTICES.txt"
done

openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Throwaway-CA -days 2 -keyout ca.key -out ca.pem 2>/dev/null
for role in codeSigning timeStamping; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$role" -keyout "$role.key" -out req.pem 2>/dev/null
    echo "extendedKeyUsage=critical,$role" >ext
    openssl x509 -req -in req.pem -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out "$role.pem" \
        2>/dev/null
done
echo "pw$RANDOM$RANDOM" >pass
openssl pkcs12 -export -inkey codeSigning.key -in codeSigning.pem -passout file:pass -out test.pfx
export SIGN_PFX="$PWD/test.pfx" SIGN_PASSWORD_FILE="$PWD/pass" SIGN_CA="$PWD/ca.pem"

release || fail "signed release failed: $(tail log)"
grep -q 'signature lapses when the certificate expires' log || fail "no word that the signature will lapse"
mv dist first
release || fail "signed release failed: $(tail log)"
diff -r first dist >/dev/null || fail "two signed releases differ: $(diff -rq first dist)"
mv first/*.zip first.zip
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

# A time-stamp authority on a free loopback port: openssl's, behind HTTP.
printf '%s\n' '[tsa]' 'default_tsa = here' '[here]' 'serial = serial' 'signer_cert = timeStamping.pem' \
    'signer_key = timeStamping.key' 'signer_digest = sha256' 'default_policy = 1.2.3.4' 'digests = sha256' \
    'ess_cert_id_alg = sha256' >tsa.cnf
echo 01 >serial
python3 - >port <<'PY' &
import http.server, subprocess


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        command = ["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin", "-out", "/dev/stdout"]
        reply = subprocess.run(command, input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()
PY
authority=$!
for _ in $(seq 100); do [[ -s port ]] && break; sleep 0.1; done
export SIGN_TSA="http://127.0.0.1:$(cat port)/" SIGN_TSA_CA="$PWD/ca.pem"
release || fail "time-stamped release failed: $(tail log)"
mv dist/*.zip stamped.zip
mv dist/*.zip.sha256 stamped.zip.sha256
python3 -m zipfile -e stamped.zip stamped
osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in stamped/Noctara.exe >verify || fail "no verified signature"
grep -q '^Timestamp Server Signature verification: ok' verify || fail "the time-stamp does not verify"
! SIGN_TSA_CA= release || fail "released a time-stamp that does not verify"
grep -q 'the time-stamp is missing or does not verify; no zip made' log || fail "no clear error for it"
! SIGN_TSA=http://127.0.0.1:1/ release || fail "released with an authority that is down"
grep -q 'gave no time-stamp (unreachable, or a bad answer); no zip made' log || fail "no clear error for it"
! compgen -G 'dist/*.zip' || fail "an authority that is down left a zip"

verify stamped.zip
verdict "MATCH: stamped.zip (signed, time-stamped) is commit" "verify-release does not match the stamped zip"
cp stamped.zip sum.zip
sha256sum <ca.pem >sum.zip.sha256
verify sum.zip
verdict "MISMATCH: sum.zip does not match sum.zip.sha256" "a zip that is not its .sha256's"
# repack IN OUT MEMBER FILE: IN with MEMBER's bytes from FILE, and SHA256SUMS to match unless it is the member.
repack() {
    python3 - "$@" <<'PY'
import hashlib, sys, zipfile

source, out, member, path = sys.argv[1:]
files = {name: zipfile.ZipFile(source).read(name) for name in zipfile.ZipFile(source).namelist()}
files[member] = open(path, "rb").read()
if member != "SHA256SUMS":
    sums = "".join(f"{hashlib.sha256(d).hexdigest()}  {n}\n" for n, d in files.items() if n != "SHA256SUMS")
    files["SHA256SUMS"] = sums.encode()
with zipfile.ZipFile(out, "w") as archive:
    for name, data in files.items():
        archive.writestr(name, data)
PY
}
# One byte of the code changed, and the exe signed again.
osslsigncode remove-signature -in stamped/Noctara.exe -out code.exe >/dev/null
text="$(x86_64-w64-mingw32-objdump -h code.exe | awk '$2 == ".text" { print $6 }')"
printf '\x90' | dd of=code.exe bs=1 seek=$((0x$text + 64)) conv=notrunc status=none
osslsigncode sign -pkcs12 test.pfx -readpass pass -h sha256 -in code.exe -out code-signed.exe >/dev/null
repack stamped.zip code.zip Noctara.exe code-signed.exe
verify code.zip
verdict "MISMATCH: Noctara.exe differs from this checkout's build (its signature removed)" "a changed exe"
sed '/  LICENSE$/ y/0123456789abcdef/123456789abcdef0/' stamped/SHA256SUMS >sums
repack stamped.zip sums.zip SHA256SUMS sums
verify sums.zip
verdict "MISMATCH: LICENSE does not match its SHA-256 in SHA256SUMS" "an edited SHA256SUMS"
sed 's/^package: cmake .*/package: cmake 9.9-1\r/' stamped/BUILDINFO.txt >info
repack stamped.zip tools.zip BUILDINFO.txt info
verify tools.zip
verdict "MATCH: tools.zip (signed, time-stamped)" "other package versions that build the same bytes"
grep -qE '^cmake +9.9-1 +[0-9]' log || fail "the toolchain is not listed side by side: $(cat log)"
SIGN_CA= verify stamped.zip
verdict "MISMATCH: the signature of Noctara.exe does not verify" "a signature from an unknown issuer"
SIGN_TSA_CA= verify stamped.zip
verdict "MISMATCH: the time-stamp of Noctara.exe does not verify" "a time-stamp from an unknown authority"
git -C "$src" -c user.name=test -c user.email=test@localhost commit -q --allow-empty -m later
verify stamped.zip
git -C "$src" checkout -q --detach "$commit"
verdict "MISMATCH: the release is commit $commit, this checkout is at" "another commit"
echo >>"$src/LICENSE"
verify stamped.zip
git -C "$src" checkout -q -- LICENSE
verdict "MISMATCH: this checkout has uncommitted changes" "a dirty checkout"
