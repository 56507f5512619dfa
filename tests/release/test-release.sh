#!/usr/bin/env bash
# make release and make verify-release and what each refuses, in build-release-test/, a clone kept warm; no Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
fail() {
    echo "release test: $*" >&2
    exit 1
}
trap 'fail "line $LINENO failed"' ERR
src="$root/build-release-test"
[[ -d $src/.git ]] || git clone -q --shared --no-checkout "$root" "$src"
# The tracked files as they are.
commit="$(git -C "$root" stash create)"
commit="${commit:-$(git -C "$root" rev-parse HEAD)}"
git -C "$src" checkout -q -f --detach "$commit"
version=1.2.2
cd "$(mktemp -d)"
trap 'kill ${authority-} 2>/dev/null; rm -rf "$PWD"' EXIT
unset ${!SIGN_*}
z=Noctara-$version-win-x64.zip
# The version in the host too: only the path's becomes $version.
export SOURCE_DATE_EPOCH=1767225600 UPDATE_AUTHORITY=localhost:9 DOWNLOAD_URL=https://$version.localhost/dl/$z \
    HOMEPAGE=https://localhost/noctara
# release NAME: into dist/ and kept/; the zip and its .sha256 as NAME.zip*, unpacked in NAME/.
release() {
    make -s -C "$src" release DIST="$PWD/dist" >log 2>&1 || fail "release failed: $(tail log)"
    rm -rf kept "$1"
    cp -r dist kept
    cp dist/$z "$1.zip"
    cp dist/$z.sha256 "$1.zip.sha256"
    python3 -m zipfile -e "$1.zip" "$1"
}
# stops REASON [NAME=VALUE...]: so set, the release stops for REASON, dist/ unchanged.
stops() {
    ! env "${@:2}" "$src/scripts/release.py" pack --dist dist >log 2>&1 || fail "released with ${*:2}"
    grep -qF "$1" log || fail "${*:2}: not $1: $(tail -n2 log)"
    diff -rq kept dist || fail "a refused release changed dist/: ${*:2}"
}
# refuses NAME REASON VALUE...
refuses() {
    for value in "${@:3}"; do
        stops "$1 '$value' $2" "$1=$value"
    done
}
# edited FILE SED REASON [NAME=VALUE...]
edited() {
    sed -i "$2" "$src/$1"
    stops "$3" "${@:4}"
    git -C "$src" checkout -q -- "$1"
}

# So that a build not given the authority fails.
sed -i '/^NOCTARA_UPDATE_AUTHORITY:/ s/=.*/=/' "$src/build-release/CMakeCache.txt" 2>/dev/null || true
release unsigned
cd unsigned
# The address, in UTF-16.
grep -qaP "$(sed 's/./&\\x00/g' <<<'https://localhost:9/')" Noctara.exe
# A BOM for PowerShell 5.1.
grep -qx $'\xef\xbb\xbf'"Noctara $version"$'\r' LEIA-ME.txt
grep -qF 'GET https://localhost:9/api/proxy?file=check_update.php' LEIA-ME.txt
grep -qF 'agente "Noctara/1.2"' LEIA-ME.txt
! grep '@' LEIA-ME.txt || fail "a placeholder is left"
! tr -d '\r' <LEIA-ME.txt | LC_ALL=C.UTF-8 grep -E '^.{81}' || fail "LEIA-ME.txt: a line over 80 columns"
! grep -lv $'\r$' *.txt LICENSE || fail "no CRLF in the files above"
! grep -q $'\r' SHA256SUMS || fail "SHA256SUMS: a CR"
# Each archive and object linked but LTO's, by file name.
linked="$(grep -oP '^(\S*/)?\K\S+\.a(?=\()|^LOAD (.*/)?\K.+\.o$' "$src/build-release/Noctara.map" | grep -v ltrans)"
[[ -n $linked ]] || fail "no archive or object read from the link map"
for name in $linked; do
    grep -qwF "$name" THIRD-PARTY-NOTICES.txt || fail "notices lack $name"
done
cd ..
"$root/tests/release/check-manifests.py" dist "$version" "$DOWNLOAD_URL"

refuses UPDATE_AUTHORITY 'lies under .invalid' Example.INVALID:443
refuses UPDATE_AUTHORITY 'holds no port' host:0 host:65536 host:08 host:
# The longest label, 63 letters; names up to 253 characters.
label="$(printf 'a%.0s' {1..63})"
refuses UPDATE_AUTHORITY 'holds no valid host name' -host a_b "${label}a.x" "$label.$label.$label.${label:1}"
refuses UPDATE_AUTHORITY 'holds no valid IP' 999.999.999.999 1.2.3
refuses UPDATE_AUTHORITY 'is more than' https://h
refuses UPDATE_AUTHORITY 'is no address' '[1.2.3.4]'
stops "no update service given" UPDATE_AUTHORITY=
# Accepted, so the address is refused next.
for good in h:1 h:65535 127.0.0.1:8443 '[::1]:443' "$label.$label.$label.${label:2}"; do
    stops "DOWNLOAD_URL 'http://" UPDATE_AUTHORITY="$good" DOWNLOAD_URL="http://localhost/$z"
done
refuses DOWNLOAD_URL 'is no https' "https:///$z"
refuses DOWNLOAD_URL 'holds a user' "https://u@localhost/$z"
refuses DOWNLOAD_URL 'is not a plain' "https://localhost/a b/$z" "https://localhost/$z#x"
refuses DOWNLOAD_URL "does not end in the zip's name" https://localhost/x.zip "https://localhost/$z?x=1"
refuses HOMEPAGE 'is no https' http://localhost/
stops "need HOMEPAGE" HOMEPAGE=
stops 'needs a signature' SIGN_TSA=http://127.0.0.1:9/
stops 'signing needs SIGN_PFX' SIGN_PFX=/none SIGN_PASSWORD_FILE=/none
notes=packaging/release-notes.pt-BR.txt
edited $notes "s/^## $version\$/## 0.0/" "has no notes for $version" DOWNLOAD_URL=
edited LICENSE '/^Copyright/d' 'no Copyright line'
edited $notes "/^## $version\$/a $(printf 'x%.0s' {1..10001})" 'do not fit'
# Packed again later, the same bytes: unless given, the time is the commit's.
when="$(env -u SOURCE_DATE_EPOCH PYTHONPATH="$src/scripts" python3 -c 'import release
print(release.source_date_epoch())')"
[[ $when == "$(git -C "$src" log -1 --format=%ct)" ]] || fail "packed at $when, not at the commit's time"
# The schema of the ManifestType, whatever the file name.
schema() {
    PYTHONPATH="$src/scripts" /usr/bin/python3 -c 'import release, sys
print(*release.schema_errors(sys.argv[1], sys.stdin.read()))' "$1"
}
locale=(dist/winget/*/*/*/*/*/*.locale.pt-BR.yaml)
[[ -z "$(schema QorvexLabs.Noctara.locale.en-US.yaml <"$locale")" ]]
sed 's/^ManifestType: .*/ManifestType: locale/' "$locale" | schema a.yaml | grep -qF "for ManifestType 'locale'"

cert() {
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$1.key" -out "$1.pem" "${@:2}" 2>/dev/null
}
cert ca
for role in codeSigning timeStamping; do
    cert $role -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE -addext "extendedKeyUsage=critical,$role"
done
echo secret >pass
openssl pkcs12 -export -inkey codeSigning.key -in codeSigning.pem -passout file:pass -out test.pfx
export SIGN_PFX="$PWD/test.pfx" SIGN_PASSWORD_FILE="$PWD/pass" SIGN_CA="$PWD/ca.pem"
release signed
mv dist first
release signed
diff -rq first dist
stops 'signing failed' SIGN_PASSWORD_FILE="$PWD/ca.pem"
stops 'the signed exe does not' SIGN_CA=
stops '127.0.0.1:9/ gave no' SIGN_TSA=http://127.0.0.1:9/

# A time-stamp authority, openssl's ts -reply on a free loopback port that it prints.
printf '%s\n' 'serial = serial' 'default_policy = 1.2.3.4' 'digests = sha256' >tsa.cnf
echo 01 >serial
read -r port < <(python3 - openssl ts -reply -config tsa.cnf -section default -queryfile /dev/stdin -sha256 \
    -signer timeStamping.pem -inkey timeStamping.key 2>/dev/null <<'PY'
import http.server
import subprocess
import sys


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(subprocess.run(sys.argv[1:], input=query, capture_output=True).stdout)


server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()
PY
)
authority=$!
export SIGN_TSA="http://127.0.0.1:$port/" SIGN_TSA_CA="$PWD/ca.pem"
release stamped
osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in stamped/Noctara.exe >verify
grep -q 'Signing time: Jan  1 00:00:00 2026' verify
stops 'the time-stamp is missing' SIGN_TSA_CA=

# checks ZIP VERDICT: the verdict, and its exit code: 0 for MATCH, 1 for MISMATCH, 2 for ERROR.
checks() {
    local code=0 want=2
    "$src/scripts/release.py" verify "$PWD/$1" >log 2>&1 || code=$?
    grep -qF "verify-release: $2" log || fail "$1 is not $2: $(tail -n3 log)"
    [[ $2 != MATCH* ]] || want=0
    [[ $2 != MISMATCH* ]] || want=1
    ((code == want)) || fail "$1: $2 exited with $code, not $want"
}
# tampered NAME COMMANDS VERDICT [FROM]: checks NAME.zip, FROM's (unsigned's) files after COMMANDS, summed again.
tampered() {
    cp -r "${4:-unsigned}" "$1"
    cd "$1"
    eval "$2"
    if [[ $2 != *SHA256SUMS* ]]; then
        sha256sum Noctara.exe LEIA-ME.txt LICENSE THIRD-PARTY-NOTICES.txt BUILDINFO.txt x >SHA256SUMS 2>/dev/null || :
    fi
    python3 -m zipfile -c "../$1.zip" *
    cd ..
    checks "$1.zip" "$3"
}
# The same bytes wherever the checkout lies: rebuilt from a second clone, at another path.
git clone -q --shared --no-checkout "$root" "elsewhere/$src"
git -C "elsewhere/$src" checkout -q --detach "$commit"
make -s -C "elsewhere/$src" verify-release ZIP="$PWD/unsigned.zip" >log 2>&1 || fail "not the same elsewhere: $(tail -n3 log)"
checks unsigned.zip "MATCH: unsigned.zip (unsigned) is commit ${commit:0:12}"
checks stamped.zip "MATCH: stamped.zip (signed by codeSigning, time-stamped)"
checks none.zip "ERROR: give an existing zip"
sha256sum <ca.pem >unsigned.zip.sha256
checks unsigned.zip "MISMATCH: unsigned.zip does not match"
checks ca.pem "MISMATCH: ca.pem is not a zip"
code='printf "\x90" | dd of=Noctara.exe bs=1 seek=5000 conv=notrunc status=none'
tools='sed -i "s/^package: cmake .*/package: cmake 9.9-1\r/" BUILDINFO.txt'
tampered leia 'sed -i "\$s/\r$//" LEIA-ME.txt' "MISMATCH: LEIA-ME.txt differs"
tampered repack : "MISMATCH: repack.zip differs"
tampered lacks 'rm LICENSE' "MISMATCH: the zip holds no LICENSE"
tampered more 'echo >x' "MISMATCH: x is no file"
tampered noexe 'rm Noctara.exe' "MISMATCH: noexe.zip holds no"
tampered twice 'tail -n1 SHA256SUMS >>SHA256SUMS' "MISMATCH: SHA256SUMS does not list"
tampered sums 'sed -i "/  LICENSE$/ s/^./x/" SHA256SUMS' "MISMATCH: LICENSE does not match" stamped
tampered form 'sed -i "s/^commit: /&x/" BUILDINFO.txt' "MISMATCH: BUILDINFO.txt gives"
tampered dirty 'sed -i "s/^commit: [0-9a-f]*/&-dirty/" BUILDINFO.txt' "MISMATCH: the release was not"
tampered junk 'echo >Noctara.exe' "ERROR: osslsigncode"
tampered code "$code" "MISMATCH: Noctara.exe differs"
! grep -qF 'other package versions' log || fail "a changed exe blamed on the toolset"
tampered toolset "$code; $tools" "MISMATCH: Noctara.exe differs from this checkout's build, made"
tampered recorded 'sed -i "s/ [0-9a-f]\{64\}/ $(printf %064d)/" BUILDINFO.txt' "MISMATCH: BUILDINFO.txt records"
tampered tools "$tools" "MATCH: tools.zip (signed by codeSigning, time-stamped)" stamped
grep -qE '^cmake +9.9-1 +[0-9]' log
SIGN_CA= checks stamped.zip "MISMATCH: the signature"
SIGN_TSA_CA= checks stamped.zip "MISMATCH: the time-stamp"
git -C "$src" -c user.name=test -c user.email=test@localhost commit -q --allow-empty -m later
checks stamped.zip "MISMATCH: the release is commit $commit,"
git -C "$src" checkout -q --detach "$commit"
echo >>"$src/LICENSE"
checks stamped.zip "MISMATCH: this checkout has"
git -C "$src" checkout -q -- LICENSE
