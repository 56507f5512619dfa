#!/usr/bin/env bash
# Builds the release exe and packs dist/Noctara-VERSION-win-x64.zip with the
# exe, LEIA-ME.txt, LICENSE and SHA256SUMS, plus the zip's own .sha256.
# Reproducible: the same commit gives the same bytes (fixed timestamps,
# order and permissions; SOURCE_DATE_EPOCH from the last commit).
# NOCTARA_UPDATE_AUTHORITY in the environment overrides the service address.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || true)"
    SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-1767225600}"  # 2026-01-01 outside a git checkout
fi
export SOURCE_DATE_EPOCH

authority=(-UNOCTARA_UPDATE_AUTHORITY)  # back to the default unless asked
if [[ -n "${NOCTARA_UPDATE_AUTHORITY:-}" ]]; then
    authority=(-DNOCTARA_UPDATE_AUTHORITY="$NOCTARA_UPDATE_AUTHORITY")
fi
cmake --preset release "${authority[@]}" >/dev/null
cmake --build --preset release

version="$(sed -n 's/^project(Noctara VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
mkdir -p dist
zip="dist/Noctara-$version-win-x64.zip"
python3 - "$zip" build-release/Noctara.exe packaging/LEIA-ME.txt LICENSE <<'PY'
import hashlib, os, sys, time, zipfile

zip_path, exe, readme, licence = sys.argv[1:]
epoch = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)  # zip dates start in 1980
stamp = time.gmtime(epoch)[:6]


def crlf(path):
    # Read on Windows, where Notepad of old shows LF-only text as one line.
    with open(path, "rb") as f:
        return f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


with open(exe, "rb") as f:
    files = [("Noctara.exe", f.read()), ("LEIA-ME.txt", crlf(readme)), ("LICENSE", crlf(licence))]
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
digest = hashlib.sha256(open(zip_path, "rb").read()).hexdigest()
with open(zip_path + ".sha256", "w") as f:
    f.write(f"{digest}  {os.path.basename(zip_path)}\n")
print(f"{zip_path}\n{digest}")
PY
