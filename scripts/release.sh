#!/usr/bin/env bash
# Builds the release exe, signs it when asked, and packs
# DIST/Noctara-VERSION-win-x64.zip (DIST: the argument, dist/ by default) with
# the exe, LEIA-ME.txt, LICENSE, THIRD-PARTY-NOTICES.txt and SHA256SUMS, plus
# the zip's own .sha256.
# Reproducible: the same commit gives the same bytes (fixed timestamps,
# order and permissions; SOURCE_DATE_EPOCH from the last commit), signed too
# with the same certificate and osslsigncode.
# NOCTARA_UPDATE_AUTHORITY in the environment overrides the service address.
# Signing, opt-in: SIGN_PFX, a PKCS#12 file, and SIGN_PASSWORD_FILE, a file
# holding its password (osslsigncode reads it there, so it is never on a
# command line); the signature must then verify against SIGN_CA, or against
# the system's certificates when that is not given.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
dist="${1:-dist}"

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || true)"
    SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-1767225600}"  # 2026-01-01 outside a git checkout
fi
export SOURCE_DATE_EPOCH

version="$(sed -n 's/^project(Noctara VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
mkdir -p "$dist"
zip="$dist/Noctara-$version-win-x64.zip"
# A release that stops half-way leaves no zip, not even the last one.
rm -f "$zip" "$zip.sha256"

authority=(-UNOCTARA_UPDATE_AUTHORITY)  # back to the default unless asked
if [[ -n "${NOCTARA_UPDATE_AUTHORITY:-}" ]]; then
    authority=(-DNOCTARA_UPDATE_AUTHORITY="$NOCTARA_UPDATE_AUTHORITY")
fi
cmake --preset release "${authority[@]}" >/dev/null
cmake --build --preset release

exe=build-release/Noctara.exe
if [[ -n "${SIGN_PFX:-}${SIGN_PASSWORD_FILE:-}" ]]; then
    if [[ ! -f "${SIGN_PFX:-}" || ! -f "${SIGN_PASSWORD_FILE:-}" ]]; then
        echo "release.sh: signing needs SIGN_PFX and SIGN_PASSWORD_FILE, both existing files; no zip made" >&2
        exit 1
    fi
    # Signed beside the build's own exe, which ninja must keep seeing as its output.
    signed=build-release/signed/Noctara.exe
    mkdir -p "$(dirname "$signed")"
    rm -f "$signed"  # osslsigncode will not overwrite
    if ! osslsigncode sign -pkcs12 "$SIGN_PFX" -readpass "$SIGN_PASSWORD_FILE" -h sha256 -n Noctara \
        -time "$SOURCE_DATE_EPOCH" -in "$exe" -out "$signed" >/dev/null; then
        echo "release.sh: signing failed; no zip made" >&2
        exit 1
    fi
    ca=()
    if [[ -n "${SIGN_CA:-}" ]]; then
        ca=(-CAfile "$SIGN_CA")
    fi
    if ! osslsigncode verify "${ca[@]}" -in "$signed" >build-release/signed/verify.log 2>&1; then
        cat build-release/signed/verify.log >&2
        echo "release.sh: the signed exe does not verify${SIGN_CA:+ against $SIGN_CA}; no zip made" >&2
        exit 1
    fi
    exe="$signed"
    echo "Signed with $SIGN_PFX and verified${SIGN_CA:+ against $SIGN_CA}."
else
    echo "Unsigned: no SIGN_PFX and SIGN_PASSWORD_FILE given."
fi

python3 - "$zip" "$exe" packaging/LEIA-ME.txt LICENSE packaging/THIRD-PARTY-NOTICES.txt <<'PY'
import hashlib, os, re, subprocess, sys, time, zipfile

zip_path, exe, readme, licence, notices = sys.argv[1:]
epoch = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)  # zip dates start in 1980
stamp = time.gmtime(epoch)[:6]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def crlf(data):
    # Read on Windows, where Notepad of old shows LF-only text as one line.
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def version(match):
    # {{package}}: the version of the Debian package the linked files came from.
    package = match[1]
    full = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                          check=True, capture_output=True, text=True).stdout
    upstream = re.sub(r"^\d+:|-[^-]*$", "", full)
    return f"{upstream} (Debian: {package} {full})"


notice_text = re.sub(r"\{\{([a-z0-9.+-]+)\}\}", version, read(notices).decode()).encode()
files = [("Noctara.exe", read(exe)), ("LEIA-ME.txt", crlf(read(readme))), ("LICENSE", crlf(read(licence))),
         ("THIRD-PARTY-NOTICES.txt", crlf(notice_text))]
sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files)
files.append(("SHA256SUMS", sums.encode()))

tmp = zip_path + ".tmp"
with zipfile.ZipFile(tmp, "w") as archive:
    for name, data in files:
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.create_system = 0
        info.external_attr = 0
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, data, compresslevel=9)
os.replace(tmp, zip_path)
digest = hashlib.sha256(read(zip_path)).hexdigest()
with open(zip_path + ".sha256", "w") as f:
    f.write(f"{digest}  {os.path.basename(zip_path)}\n")
print(f"{zip_path}\n{digest}")
PY
