#!/usr/bin/env bash
# Builds the release exe, signs it when asked, and packs
# DIST/Noctara-VERSION-win-x64.zip (DIST: the argument, dist/ by default) with
# the exe, LEIA-ME.txt, LICENSE, THIRD-PARTY-NOTICES.txt, BUILDINFO.txt and
# SHA256SUMS, plus the zip's own .sha256.
# Reproducible: the same commit gives the same bytes (fixed timestamps,
# order and permissions; SOURCE_DATE_EPOCH from the last commit), signed too
# with the same certificate and osslsigncode, unless time-stamped.
# BUILDINFO.txt holds what scripts/verify-release.sh needs to rebuild the
# exe: the commit, SOURCE_DATE_EPOCH, the update authority, the SHA-256 of
# the exe before signing and the Debian packages that make it.
# NOCTARA_UPDATE_AUTHORITY in the environment overrides the service address.
# Signing, opt-in: SIGN_PFX, a PKCS#12 file, and SIGN_PASSWORD_FILE, a file
# holding its password (osslsigncode reads it there, so it is never on a
# command line); the signature must then verify against SIGN_CA, or against
# the system's certificates when that is not given. Time-stamping, opt-in on
# top: SIGN_TSA, an RFC 3161 authority's address, whose time-stamp must
# verify against SIGN_TSA_CA, or the system's certificates.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
dist="${1:-dist}"
fail() {
    echo "release.sh: $*; no zip made" >&2
    exit 1
}

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

signing=
if [[ -n "${SIGN_PFX:-}${SIGN_PASSWORD_FILE:-}" ]]; then
    if [[ ! -f "${SIGN_PFX:-}" || ! -f "${SIGN_PASSWORD_FILE:-}" ]]; then
        fail "signing needs SIGN_PFX and SIGN_PASSWORD_FILE, both existing files"
    fi
    signing=1
fi
if [[ -n "${SIGN_TSA:-}" && -z $signing ]]; then
    fail "a time-stamp needs a signature: give SIGN_PFX and SIGN_PASSWORD_FILE too"
fi

# A commit names the source only when no tracked file differs from it.
if commit="$(git rev-parse -q --verify HEAD 2>/dev/null)"; then
    if [[ -n "$(git status --porcelain --untracked-files=no)" ]]; then
        commit="$commit-dirty"
        echo "Built from uncommitted changes: BUILDINFO.txt says $commit, which nobody can rebuild."
    fi
else
    commit=unknown
fi

# Flags from the environment would reach the compiler unrecorded.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS
authority=(-UNOCTARA_UPDATE_AUTHORITY)  # back to the default unless asked
if [[ -n "${NOCTARA_UPDATE_AUTHORITY:-}" ]]; then
    authority=(-DNOCTARA_UPDATE_AUTHORITY="$NOCTARA_UPDATE_AUTHORITY")
fi
cmake --preset release "${authority[@]}" >/dev/null
cmake --build --preset release
cache() { sed -n "s/^$1:[A-Z]*=//p" build-release/CMakeCache.txt; }

exe=build-release/Noctara.exe
unsigned_sha256="$(sha256sum "$exe" | cut -d' ' -f1)"
if [[ -n $signing ]]; then
    # Signed beside the build's own exe, which ninja must keep seeing as its output.
    signed=build-release/signed/Noctara.exe
    mkdir -p "$(dirname "$signed")"
    rm -f "$signed" "$signed.unstamped"  # osslsigncode will not overwrite
    if ! osslsigncode sign -pkcs12 "$SIGN_PFX" -readpass "$SIGN_PASSWORD_FILE" -h sha256 -n Noctara \
        -time "$SOURCE_DATE_EPOCH" -in "$exe" -out "$signed" >/dev/null; then
        fail "signing failed"
    fi
    verify=()
    if [[ -n "${SIGN_CA:-}" ]]; then
        verify+=(-CAfile "$SIGN_CA")
    fi
    if [[ -n "${SIGN_TSA:-}" ]]; then
        # A step of its own, so that a failing authority is told apart from a failing signature.
        mv "$signed" "$signed.unstamped"
        if ! osslsigncode add -h sha256 -ts "$SIGN_TSA" -in "$signed.unstamped" -out "$signed" >/dev/null; then
            fail "the time-stamp authority $SIGN_TSA gave no time-stamp (unreachable, or a bad answer)"
        fi
        if [[ -n "${SIGN_TSA_CA:-}" ]]; then
            verify+=(-TSA-CAfile "$SIGN_TSA_CA")
        fi
    fi
    if ! osslsigncode verify "${verify[@]}" -in "$signed" >build-release/signed/verify.log 2>&1; then
        cat build-release/signed/verify.log >&2
        fail "the signed exe does not verify${SIGN_CA:+ against $SIGN_CA}"
    fi
    exe="$signed"
    # osslsigncode's verify succeeds with a time-stamp it could not verify, and with none.
    if [[ -n "${SIGN_TSA:-}" ]]; then
        if ! grep -q '^Timestamp Server Signature verification: ok' build-release/signed/verify.log; then
            cat build-release/signed/verify.log >&2
            fail "the time-stamp is missing or does not verify${SIGN_TSA_CA:+ against $SIGN_TSA_CA}"
        fi
        echo "Signed with $SIGN_PFX, time-stamped by $SIGN_TSA, and verified."
    else
        echo "Signed with $SIGN_PFX and verified${SIGN_CA:+ against $SIGN_CA}."
        echo "Not time-stamped (no SIGN_TSA): the signature lapses when the certificate expires."
    fi
else
    echo "Unsigned: no SIGN_PFX and SIGN_PASSWORD_FILE given."
fi

# Packed by the Python that drew the icons, whose version BUILDINFO.txt records.
"$(cache Python3_EXECUTABLE)" - "$zip" "$exe" packaging/LEIA-ME.txt LICENSE packaging/THIRD-PARTY-NOTICES.txt \
    "$version" "$commit" "$(cache NOCTARA_UPDATE_AUTHORITY)" "$unsigned_sha256" <<'PY'
import functools, hashlib, os, re, subprocess, sys, time, zipfile

zip_path, exe, readme, licence, notices, version, commit, authority, unsigned_sha256 = sys.argv[1:]
epoch = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)  # zip dates start in 1980
stamp = time.gmtime(epoch)[:6]

# What makes the exe: the compiler and its runtime, binutils (as, ld,
# windres, dlltool), MinGW-w64, CMake with the modules that set the flags,
# Ninja, and the Python (with zlib and libc's maths) that draws the icons.
interpreter = subprocess.run(["dpkg-query", "-S", os.path.realpath(sys.executable)], capture_output=True, text=True)
PACKAGES = ["g++-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32-runtime",
            "gcc-mingw-w64-base", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev", "mingw-w64-common", "cmake",
            "cmake-data", "ninja-build", interpreter.stdout.partition(":")[0], "zlib1g", "libc6"]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def crlf(data):
    # Read on Windows, where Notepad of old shows LF-only text as one line.
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


@functools.cache
def installed(package):
    # Installed, not merely known: a removed package's version would be a lie.
    state, _, full = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev}|${Version}", package],
                                    capture_output=True, text=True).stdout.partition("|")
    if state.strip() != "ii":
        sys.exit(f"release.sh: {package or sys.executable + ' in no package'} is not installed; no zip made")
    return full


def version_of(match):
    # {{package}}: the version of the Debian package the linked files came from.
    full = installed(match[1])
    upstream = re.sub(r"^\d+:|-[^-]*$", "", full)
    return f"{upstream} (Debian: {match[1]} {full})"


buildinfo = [f"version: {version}", f"commit: {commit}", f"source-date-epoch: {os.environ['SOURCE_DATE_EPOCH']}",
             f"update-authority: {authority}", f"unsigned-exe-sha256: {unsigned_sha256}",
             *(f"package: {name} {installed(name)}" for name in sorted(PACKAGES))]
notice_text = re.sub(r"\{\{([a-z0-9.+-]+)\}\}", version_of, read(notices).decode()).encode()
files = [("Noctara.exe", read(exe)), ("LEIA-ME.txt", crlf(read(readme))), ("LICENSE", crlf(read(licence))),
         ("THIRD-PARTY-NOTICES.txt", crlf(notice_text)), ("BUILDINFO.txt", "\r\n".join(buildinfo + [""]).encode())]
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
