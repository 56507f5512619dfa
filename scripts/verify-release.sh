#!/usr/bin/env bash
# verify-release.sh ZIP: is this release's exe what this checkout builds?
# In turn: the zip against ZIP.sha256 when that lies beside it; its files
# against SHA256SUMS; the signature and its time-stamp, if any, against
# SIGN_CA and SIGN_TSA_CA (else the system's certificates); BUILDINFO.txt's
# commit against this checkout, which must have no uncommitted change; its
# packages against the installed ones; then the exe, rebuilt in build-verify/
# with the recorded SOURCE_DATE_EPOCH and update authority, against the zip's
# exe without its signature, byte for byte.
# The last line is the verdict, "verify-release: MATCH: ..." (exit 0) or
# "verify-release: MISMATCH: ..." (exit 1); "verify-release: ERROR: ..."
# (exit 2) when the check could not be made. The zip is only read.
set -euo pipefail
verdict() {
    echo "verify-release: $1: $2"
    exit "$3"
}
mismatch() { verdict MISMATCH "$*" 1; }
error() { verdict ERROR "$*" 2; }

[[ $# -eq 1 && -f $1 ]] || error "give an existing zip: make verify-release ZIP=path/to/Noctara-VERSION-win-x64.zip"
zip="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
cd "$(dirname "$0")/.."
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The sums; then Noctara.exe and BUILDINFO.txt's values, one file each, into $work.
reason="$(python3 - "$zip" "$work" <<'PY'
import hashlib, os, re, sys, zipfile

zip_path, work = sys.argv[1:]
name = os.path.basename(zip_path)


def mismatch(reason):
    print(reason)
    sys.exit(1)


if os.path.exists(zip_path + ".sha256"):
    with open(zip_path + ".sha256", "rb") as f, open(zip_path, "rb") as z:
        if f.read().split()[:1] != [hashlib.sha256(z.read()).hexdigest().encode()]:
            mismatch(f"{name} does not match {name}.sha256")
    print(f"{name}: matches {name}.sha256", file=sys.stderr)
if not zipfile.is_zipfile(zip_path):
    mismatch(f"{name} is not a zip")
archive = zipfile.ZipFile(zip_path)
names = archive.namelist()
listed = {}
for line in (archive.read("SHA256SUMS").decode() if "SHA256SUMS" in names else "").splitlines():
    digest, _, member = line.partition("  ")
    listed[member] = digest
if sorted(listed) != sorted(set(names) - {"SHA256SUMS"}) or len(names) != len(listed) + 1:
    mismatch("SHA256SUMS does not list every file of the zip once")
for member, digest in listed.items():
    if hashlib.sha256(archive.read(member)).hexdigest() != digest:
        mismatch(f"{member} does not match its SHA-256 in SHA256SUMS")
print(f"SHA256SUMS: the {len(listed)} files match", file=sys.stderr)
if "Noctara.exe" not in names:
    mismatch(f"{name} holds no Noctara.exe")
info = archive.read("BUILDINFO.txt").decode() if "BUILDINFO.txt" in names else ""
# Only what a rebuild may be given: nothing reaches the build unchecked.
formats = {"commit": r"[0-9a-f]{40,64}(-dirty)?|unknown", "source-date-epoch": r"[0-9]+",
           "update-authority": r"[A-Za-z0-9.-]+(:[0-9]+)?", "unsigned-exe-sha256": r"[0-9a-f]{64}",
           "package": r"[a-z0-9][a-z0-9.+-]* [A-Za-z0-9.+:~-]+"}
for key, form in formats.items():
    values = re.findall(rf"^{key}: (.*?)\r?$", info, re.M)
    if not values or len(values) > 1 and key != "package" or not all(re.fullmatch(form, v) for v in values):
        mismatch(f"BUILDINFO.txt gives no well-formed {key}")
    with open(os.path.join(work, key), "w") as f:
        f.write("\n".join(values) + "\n")
with open(os.path.join(work, "zip.exe"), "wb") as f:
    f.write(archive.read("Noctara.exe"))
PY
)" || mismatch "$reason"
recorded() { cat "$work/$1"; }

# Signed when there is a signature to remove; the comparison is made without it.
signed=
stamp=
if osslsigncode remove-signature -in "$work/zip.exe" -out "$work/unsigned.exe" >"$work/remove.log" 2>&1; then
    signed=1
    verify=()
    if [[ -n "${SIGN_CA:-}" ]]; then
        verify+=(-CAfile "$SIGN_CA")
    fi
    if [[ -n "${SIGN_TSA_CA:-}" ]]; then
        verify+=(-TSA-CAfile "$SIGN_TSA_CA")
    fi
    if ! osslsigncode verify "${verify[@]}" -in "$work/zip.exe" >"$work/verify.log" 2>&1; then
        grep -E 'Error|failed' "$work/verify.log" || true
        mismatch "the signature of Noctara.exe does not verify${SIGN_CA:+ against $SIGN_CA}"
    fi
    # osslsigncode's verify succeeds with a time-stamp it could not verify.
    if grep -q '^Timestamp Server Signature verification: failed' "$work/verify.log"; then
        grep -E 'Error' "$work/verify.log" || true
        mismatch "the time-stamp of Noctara.exe does not verify${SIGN_TSA_CA:+ against $SIGN_TSA_CA}"
    fi
    # osslsigncode 2.9 says "Timestamp time: ", 2.5 (Debian 12's own) "The signature is timestamped: ".
    stamp="$(sed -n 's/^[[:space:]]*Timestamp time: //p; s/^The signature is timestamped: //p' "$work/verify.log")"
    stamp="${stamp%%$'\n'*}"
    echo "Signature: verified${stamp:+, time-stamped $stamp}"
elif grep -q 'No signature found' "$work/remove.log"; then
    cp "$work/zip.exe" "$work/unsigned.exe"
    echo "Signature: none"
else
    error "osslsigncode could not read Noctara.exe: $(cat "$work/remove.log")"
fi

# Refused before building: a source nobody can check out, or one that is not this checkout's.
commit="$(recorded commit)"
if [[ $commit == unknown || $commit == *-dirty ]]; then
    mismatch "the release was not built from a commit (BUILDINFO.txt says $commit): no checkout has its source"
fi
head="$(git rev-parse -q --verify HEAD)" || error "this is no git checkout"
if [[ $head != "$commit" ]]; then
    mismatch "the release is commit $commit, this checkout is at $head: check out $commit and run again"
fi
if [[ -n "$(git status --porcelain --untracked-files=no)" ]]; then
    git status --short --untracked-files=no
    mismatch "this checkout has uncommitted changes (listed above): commit or stash them and run again"
fi
echo "Commit: $commit, no uncommitted change"

# Other package versions may still build the same bytes; if they do not, they are the likely reason.
differ=0
while read -r package version; do
    installed="$(dpkg-query -W -f='${db:Status-Abbrev}|${Version}' "$package" 2>/dev/null || true)"
    installed="${installed#ii |}"
    if [[ $installed != "$version" ]]; then
        ((differ == 0)) && printf '%-36s %-32s %s\n' package recorded installed
        printf '%-36s %-32s %s\n' "$package" "$version" "${installed:-(none)}"
        differ=$((differ + 1))
    fi
done <"$work/package"
echo "Toolchain: $differ of $(wc -l <"$work/package") packages differ from the release's"

# Flags from the environment would reach the compiler unrecorded.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS
echo "Rebuilding in build-verify/"
SOURCE_DATE_EPOCH="$(recorded source-date-epoch)"
export SOURCE_DATE_EPOCH
if ! cmake --preset release -B build-verify \
    -DNOCTARA_UPDATE_AUTHORITY="$(recorded update-authority)" >"$work/build.log" 2>&1 ||
    ! cmake --build build-verify >>"$work/build.log" 2>&1; then
    tail -n 20 "$work/build.log"
    error "the rebuild failed"
fi
if ! cmp -s "$work/unsigned.exe" build-verify/Noctara.exe; then
    if ((differ > 0)); then
        mismatch "Noctara.exe differs from this checkout's build, made with other package versions (listed above)"
    fi
    mismatch "Noctara.exe differs from this checkout's build${signed:+ (its signature removed)}"
fi
if [[ "$(sha256sum <build-verify/Noctara.exe | cut -d' ' -f1)" != "$(recorded unsigned-exe-sha256)" ]]; then
    mismatch "BUILDINFO.txt records another SHA-256 for the exe before signing"
fi
kind="${signed:+signed${stamp:+, time-stamped}}"
verdict MATCH "$(basename "$zip") (${kind:-unsigned}) is commit ${commit:0:12}: its exe is this checkout's build" 0
