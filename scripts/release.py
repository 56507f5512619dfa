#!/usr/bin/python3
"""Noctara's release, packed and checked by one program.

release.py pack [--dist DIST]
    Builds the release exe for the update service UPDATE_AUTHORITY
    (host[:port], required), signs it when asked, and packs
    DIST/Noctara-VERSION-win-x64.zip (DIST: dist/ by default) with the exe,
    LEIA-ME.txt, LICENSE, THIRD-PARTY-NOTICES.txt, BUILDINFO.txt and
    SHA256SUMS, plus the zip's own .sha256. Given DOWNLOAD_URL, the https
    address the zip will be published at, and HOMEPAGE, it writes the winget
    manifests under DIST/winget/manifests/ and the Scoop manifest
    DIST/scoop/noctara.json too, each checked against the schema of its
    ManifestType in packaging/schemas/. Every input is checked before the
    build, and DIST changes only at the end, when everything is made.
    Reproducible: the same commit gives the same bytes (fixed timestamps,
    order and permissions; SOURCE_DATE_EPOCH from the last commit), signed
    too with the same certificate and osslsigncode, unless time-stamped.
    Signing, opt-in: SIGN_PFX, a PKCS#12 file, and SIGN_PASSWORD_FILE, a file
    holding its password (osslsigncode reads it there, so it is never on a
    command line); the signature must then verify against SIGN_CA, or the
    system's certificates. Time-stamping, opt-in on top: SIGN_TSA, an RFC 3161
    authority's address, whose time-stamp must verify against SIGN_TSA_CA, or
    the system's certificates.

release.py verify ZIP
    Is every file of this release what this checkout makes? In turn: the zip
    against ZIP.sha256 when that lies beside it; its files against
    SHA256SUMS; the signature and its time-stamp, if any, and the signer's
    name; BUILDINFO.txt's commit against this checkout, which must have no
    uncommitted change; its packages against the installed ones; then the
    exe, rebuilt in build-verify/ as BUILDINFO.txt says, against the zip's
    exe without its signature, byte for byte; then every other file, made
    again from this checkout and BUILDINFO.txt's values, and for an unsigned
    release the zip itself. The last line is the verdict: MATCH (exit 0),
    MISMATCH (exit 1, naming the first file that differs) or ERROR (exit 2,
    the check could not be made).
"""

import argparse
import datetime
import functools
import hashlib
import io
import ipaddress
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_ID = "QorvexLabs.Noctara"
WINGET_FOLDER = "winget/manifests/q/QorvexLabs/Noctara"
SHORTCUT_FOLDER = r"%APPDATA%\Microsoft\Windows\Start Menu\Programs\Qorvex Labs"
# The MIT licence's text, as its registry publishes it.
LICENSE_URL = "https://spdx.org/licenses/MIT.html"
# What makes the exe besides the Python that draws the icons: the compiler and
# its runtime, binutils (as, ld, windres, dlltool), MinGW-w64, CMake with the
# modules that set the flags, Ninja, and zlib and libc's maths for the icons.
PACKAGES = ["g++-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32-runtime",
            "gcc-mingw-w64-base", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev", "mingw-w64-common", "cmake",
            "cmake-data", "ninja-build", "zlib1g", "libc6"]
# BUILDINFO.txt's keys in their order, each with the only form a rebuild may be given.
BUILDINFO_FORMS = {"version": r"[0-9]+(\.[0-9]+){1,3}", "commit": r"[0-9a-f]{40,64}(-dirty)?|unknown",
                   "source-date-epoch": r"[0-9]+", "update-authority": r"([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]+)?",
                   "unsigned-exe-sha256": r"[0-9a-f]{64}", "package": r"[a-z0-9][a-z0-9.+-]* [A-Za-z0-9.+:~-]+"}
LABEL = re.compile(r"[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?")
# Flags from the environment would reach the compiler unrecorded.
BUILD_ENV = {k: v for k, v in os.environ.items() if k not in ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS", "RCFLAGS")}


class Refused(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def project_version():
    # Typed once, in CMakeLists.txt's project() line.
    text = read(os.path.join(ROOT, "CMakeLists.txt")).decode()
    match = re.search(r"^project\(\s*Noctara\s+VERSION\s+([0-9]+(\.[0-9]+){1,3})\b", text, re.M)
    if not match:
        raise Refused("CMakeLists.txt has no project(Noctara VERSION x.y.z) line")
    return match[1]


def host_fault(host):
    """What is wrong with host, a name or an IP literal, or None."""
    # Newer parsers refuse a bad one in brackets themselves; older ones leave it here.
    if host.startswith("[") and host.endswith("]"):
        try:
            ipaddress.IPv6Address(host[1:-1])
            return None
        except ValueError:
            return "holds no valid IP address"
    # A last label of digits makes the host an IPv4 address to every parser.
    if re.fullmatch(r"[0-9]+", host.rsplit(".", 1)[-1]):
        try:
            ipaddress.IPv4Address(host)
        except ValueError:
            return "holds no valid IP address"
        return None
    if len(host) > 253 or not all(LABEL.fullmatch(label) for label in host.split(".")):
        return "holds no valid host name"
    return None


def check_https(name, url, file_name=None, shown=None):
    """The reason an address is refused, or None; file_name, when given, must end it.

    shown is what the user gave, when the address was made from it."""
    shown = shown or url
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError as error:
        return f"{name} {shown!r} is no address: {error}"
    if parts.scheme != "https" or not parts.netloc:
        return f"{name} {shown!r} is no https:// address"
    if "@" in parts.netloc:
        return f"{name} {shown!r} holds a user name or password, which would be published"
    host_port = parts.netloc
    host, port = re.fullmatch(r"(\[[^\]]*\]|[^:]*)(?::(.*))?", host_port).groups()
    fault = host_fault(host)
    if fault:
        return f"{name} {shown!r} {fault}"
    if port is not None and not (re.fullmatch(r"[1-9][0-9]{0,4}", port) and int(port) <= 65535):
        return f"{name} {shown!r} holds no port from 1 to 65535"
    if len(url) > 2048 or re.search(r"[\s\"\\<>{}|^`]", url) or parts.fragment:
        return f"{name} {shown!r} is not a plain address of at most 2048 characters, without a fragment"
    if file_name and (parts.query or parts.path.rsplit("/", 1)[-1] != file_name):
        return f"{name} {shown!r} does not end in the zip's name, /{file_name}"
    return None


def check_authority(authority):
    """The reason UPDATE_AUTHORITY is refused, or None."""
    usage = "make release UPDATE_AUTHORITY=host[:port], the update service's address"
    if not authority:
        return f"no update service given: {usage}"
    if re.search(r"[/?#\\]", authority):
        return f"UPDATE_AUTHORITY {authority!r} is more than host[:port]: give it without https:// or a path"
    reason = check_https("UPDATE_AUTHORITY", "https://" + authority, shown=authority)
    if reason:
        return f"{reason}: {usage}"
    # .invalid never resolves: a build asking there could never offer an update.
    if urllib.parse.urlsplit("https://" + authority).hostname.rsplit(".", 1)[-1] == "invalid":
        return f"UPDATE_AUTHORITY {authority!r} lies under .invalid, which reaches nobody: {usage}"
    return None


def release_notes(version):
    # The section "## VERSION" of packaging/release-notes.pt-BR.txt.
    text = read(os.path.join(ROOT, "packaging/release-notes.pt-BR.txt")).decode()
    match = re.search(rf"^## {re.escape(version)}\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    if not match or not match[1].strip():
        raise Refused(f"packaging/release-notes.pt-BR.txt has no notes for {version}: write them first")
    return match[1].strip() + "\n"


def parse_buildinfo(text):
    """BUILDINFO.txt's values, each key's list; raises Refused when one is missing or malformed."""
    values = {}
    for key, form in BUILDINFO_FORMS.items():
        found = re.findall(rf"^{key}: (.*?)\r?$", text, re.M)
        if not found or len(found) > 1 and key != "package" or not all(re.fullmatch(form, v) for v in found):
            raise Refused(f"BUILDINFO.txt gives no well-formed {key}")
        values[key] = found
    return values


def crlf(data):
    # Read on Windows, where Notepad of old shows LF-only text as one line.
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


@functools.cache
def installed(package):
    # Installed, not merely known: a removed package's version would be a lie.
    state, _, full = run("dpkg-query", "-W", "-f=${db:Status-Abbrev}|${Version}", package).stdout.partition("|")
    if state.strip() != "ii":
        raise Refused(f"{package} is not installed")
    return full


def version_of(package, full):
    # The notices' {{package}}: the version of the Debian package the linked files came from.
    upstream = re.sub(r"^\d+:|-[^-]*$", "", full)
    return f"{upstream} (Debian: {package} {full})"


def leia_me(version, authority):
    text = read(os.path.join(ROOT, "packaging/LEIA-ME.txt")).decode().removeprefix("\ufeff")
    text = text.replace("@VERSION@", version).replace("@UPDATE_AUTHORITY@", authority)
    # The program sends its major and minor version only.
    text = text.replace("@USER_AGENT@", "Noctara/" + ".".join(version.split(".")[:2]))
    # With the mark, PowerShell 5.1's Get-Content and old Notepad read it as UTF-8.
    return b"\xef\xbb\xbf" + crlf(text.encode())


def zip_files(exe, info, versions):
    """The zip's files in their order, as this checkout makes them around exe from BUILDINFO.txt's values."""
    lines = [f"{key}: {info[key]}" for key in BUILDINFO_FORMS if key != "package"]
    lines += [f"package: {name} {full}" for name, full in sorted(versions.items())]
    notices = read(os.path.join(ROOT, "packaging/THIRD-PARTY-NOTICES.txt")).decode()
    notices = re.sub(r"\{\{([a-z0-9.+-]+)\}\}", lambda m: version_of(m[1], versions.get(m[1], "unrecorded")), notices)
    files = [("Noctara.exe", exe), ("LEIA-ME.txt", leia_me(info["version"], info["update-authority"])),
             ("LICENSE", crlf(read(os.path.join(ROOT, "LICENSE")))),
             ("THIRD-PARTY-NOTICES.txt", crlf(notices.encode())), ("BUILDINFO.txt", "\r\n".join(lines + [""]).encode())]
    # LF: the form sha256sum writes, and reads back with -c.
    files.append(("SHA256SUMS", "".join(f"{sha256(data)}  {name}\n" for name, data in files).encode()))
    return files


def cache(name, folder="build-release"):
    text = read(os.path.join(ROOT, folder, "CMakeCache.txt")).decode()
    match = re.search(rf"^{name}:[A-Z]*=(.*)$", text, re.M)
    return match[1] if match else ""


def source_date_epoch():
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or run("git", "log", "-1", "--format=%ct", cwd=ROOT).stdout.strip()
    return epoch or "1767225600"  # 2026-01-01 outside a git checkout


def source_commit():
    # A commit names the source only when no tracked file differs from it.
    head = run("git", "rev-parse", "-q", "--verify", "HEAD", cwd=ROOT).stdout.strip()
    if not head:
        return "unknown"
    if run("git", "status", "--porcelain", "--untracked-files=no", cwd=ROOT).stdout.strip():
        print(f"Built from uncommitted changes: BUILDINFO.txt says {head}-dirty, which nobody can rebuild.")
        return head + "-dirty"
    return head


def signing_request():
    """None for an unsigned release, else the signing variables; raises Refused when incomplete."""
    pfx, password = os.environ.get("SIGN_PFX", ""), os.environ.get("SIGN_PASSWORD_FILE", "")
    if not pfx and not password:
        if os.environ.get("SIGN_TSA"):
            raise Refused("a time-stamp needs a signature: give SIGN_PFX and SIGN_PASSWORD_FILE too")
        return None
    if not os.path.isfile(pfx) or not os.path.isfile(password):
        raise Refused("signing needs SIGN_PFX and SIGN_PASSWORD_FILE, both existing files")
    return {name: os.environ.get(name, "") for name in ("SIGN_PFX", "SIGN_PASSWORD_FILE", "SIGN_CA", "SIGN_TSA",
                                                        "SIGN_TSA_CA")}


def sign(exe, epoch, s):
    """The signed copy of exe, verified; raises Refused on any failure."""
    # Signed beside the build's own exe, which ninja must keep seeing as its output.
    folder = os.path.join(ROOT, "build-release/signed")
    os.makedirs(folder, exist_ok=True)
    signed = os.path.join(folder, "Noctara.exe")
    for stale in (signed, signed + ".unstamped"):  # osslsigncode will not overwrite
        if os.path.exists(stale):
            os.remove(stale)
    if run("osslsigncode", "sign", "-pkcs12", s["SIGN_PFX"], "-readpass", s["SIGN_PASSWORD_FILE"], "-h", "sha256",
           "-n", "Noctara", "-time", epoch, "-in", exe, "-out", signed).returncode:
        raise Refused("signing failed")
    verify = ["-CAfile", s["SIGN_CA"]] if s["SIGN_CA"] else []
    if s["SIGN_TSA"]:
        # A step of its own, so that a failing authority is told apart from a failing signature.
        os.replace(signed, signed + ".unstamped")
        if run("osslsigncode", "add", "-h", "sha256", "-ts", s["SIGN_TSA"], "-in", signed + ".unstamped",
               "-out", signed).returncode:
            raise Refused(f"the time-stamp authority {s['SIGN_TSA']} gave no time-stamp (unreachable, or a bad answer)")
        verify += ["-TSA-CAfile", s["SIGN_TSA_CA"]] if s["SIGN_TSA_CA"] else []
    checked = run("osslsigncode", "verify", *verify, "-in", signed)
    log = checked.stdout + checked.stderr
    against = f" against {s['SIGN_CA']}" if s["SIGN_CA"] else ""
    if checked.returncode:
        print(log, file=sys.stderr)
        raise Refused(f"the signed exe does not verify{against}")
    if not s["SIGN_TSA"]:
        print(f"Signed with {s['SIGN_PFX']} and verified{against}.")
        print("Not time-stamped (no SIGN_TSA): the signature lapses when the certificate expires.")
        return signed
    # osslsigncode's verify succeeds with a time-stamp it could not verify, and with none.
    if not re.search(r"^Timestamp Server Signature verification: ok", log, re.M):
        print(log, file=sys.stderr)
        tsa_against = f" against {s['SIGN_TSA_CA']}" if s["SIGN_TSA_CA"] else ""
        raise Refused(f"the time-stamp is missing or does not verify{tsa_against}")
    print(f"Signed with {s['SIGN_PFX']}, time-stamped by {s['SIGN_TSA']}, and verified.")
    return signed


def zip_bytes(files, epoch):
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # zip dates start in 1980
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 0
            info.external_attr = 0
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)
    return buffer.getvalue()


def yaml_text(document):
    import yaml

    class Dumper(yaml.SafeDumper):
        pass

    def block(dumper, text):
        return dumper.represent_scalar("tag:yaml.org,2002:str", text, style="|" if "\n" in text else None)

    Dumper.add_representer(str, block)
    return yaml.dump(document, Dumper=Dumper, sort_keys=False, allow_unicode=True, width=110)


def copyright_line():
    # The licence's own line, so that the manifests never name another holder.
    match = re.search(r"^Copyright .*$", read(os.path.join(ROOT, "LICENSE")).decode(), re.M)
    if not match:
        raise Refused("LICENSE has no Copyright line for the manifests")
    return match[0]


def manifests(info, url, homepage, notes, zip_sha256):
    """{relative path: text} of the winget and Scoop manifests."""
    version = info["version"]
    parts = urllib.parse.urlsplit(url)
    # Only the path: a version inside the host name is part of the host.
    pattern = urllib.parse.urlunsplit(parts._replace(path=parts.path.replace(version, "$version")))
    date = datetime.datetime.fromtimestamp(int(info["source-date-epoch"]), datetime.timezone.utc).date()
    head = {"PackageIdentifier": PACKAGE_ID, "PackageVersion": version}
    tail = {"ManifestVersion": "1.10.0"}
    winget = {
        f"{PACKAGE_ID}.yaml": {**head, "DefaultLocale": "pt-BR", "ManifestType": "version", **tail},
        f"{PACKAGE_ID}.installer.yaml": {
            **head, "InstallerType": "zip", "NestedInstallerType": "portable",
            "NestedInstallerFiles": [{"RelativeFilePath": "Noctara.exe", "PortableCommandAlias": "noctara"}],
            "MinimumOSVersion": "10.0.0.0", "Scope": "user", "ReleaseDate": date.isoformat(),
            "Installers": [{"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": zip_sha256.upper()}],
            "ManifestType": "installer", **tail},
        f"{PACKAGE_ID}.locale.pt-BR.yaml": {
            **head, "PackageLocale": "pt-BR", "Publisher": "Qorvex Labs", "PackageName": "Noctara",
            "PublisherUrl": homepage, "PackageUrl": homepage, "License": "MIT", "LicenseUrl": LICENSE_URL,
            "Copyright": copyright_line(),
            "ShortDescription": "Mantém o computador e a tela acordados, pelo ícone na área de notificação.",
            "Description": "O Noctara fica na área de notificação e impede que o computador durma ou apague a tela "
                           "enquanto está ativo. Pelo menu do ícone: pausar e retomar, iniciar com o Windows, "
                           "copiar o caminho do programa e baixar uma versão nova.",
            "Moniker": "noctara", "Tags": ["bandeja", "energia", "suspensao", "tela"], "ReleaseNotes": notes,
            "ManifestType": "defaultLocale", **tail},
    }
    texts = {f"{WINGET_FOLDER}/{version}/{name}": yaml_text(doc) for name, doc in winget.items()}
    scoop = {
        "version": version,
        "description": "Mantém o computador e a tela acordados, pelo ícone na área de notificação.",
        "homepage": homepage, "license": "MIT",
        # Under 64bit only: Scoop on 32-bit Windows then finds nothing to install.
        "architecture": {"64bit": {"url": url, "hash": zip_sha256}}, "bin": "Noctara.exe",
        "notes": [
            "O Noctara fica na área de notificação, perto do relógio; ao abrir, ele cria o próprio atalho no "
            "Menu Iniciar.",
            "Antes de 'scoop update noctara': clique com o botão direito no ícone e escolha Sair.",
            "Para desinstalar: no menu do ícone, desmarque 'Iniciar com Windows' (isso remove a inicialização "
            "automática) e escolha Sair; então 'scoop uninstall noctara'; por fim apague a pasta do atalho, "
            f"{SHORTCUT_FOLDER}.",
        ],
        # The service the program asks answers latest_version, which is what a new version is looked for by.
        "checkver": {"url": f"https://{info['update-authority']}/api/proxy?file=check_update.php",
                     "jsonpath": "$.latest_version"},
        "autoupdate": {"architecture": {"64bit": {"url": pattern, "hash": {"url": "$url.sha256"}}}},
    }
    texts["scoop/noctara.json"] = json.dumps(scoop, indent=4, ensure_ascii=False) + "\n"
    return texts


def schema_errors(path, text):
    """What the vendored schema for its kind finds wrong with the manifest text written at path."""
    import jsonschema
    import yaml

    if path.endswith(".json"):
        document, schema = json.loads(text), "scoop/schema.json"
    else:
        document = yaml.safe_load(text)
        # The kind a manifest declares, not its file name, says which schema it answers to.
        kind = document.get("ManifestType") if isinstance(document, dict) else None
        version = document.get("ManifestVersion") if isinstance(document, dict) else None
        schema = f"winget-{version}/manifest.{kind}.{version}.json"
        if not re.fullmatch(r"[A-Za-z]+", str(kind)) or not re.fullmatch(r"[0-9.]+", str(version)) or \
                not os.path.isfile(os.path.join(ROOT, "packaging/schemas", schema)):
            return [f"{path}: no schema in packaging/schemas/ for ManifestType {kind!r}, ManifestVersion {version!r}"]
    schema = json.loads(read(os.path.join(ROOT, "packaging/schemas", schema)))
    validator = jsonschema.validators.validator_for(schema)
    checker = validator(schema, format_checker=validator.FORMAT_CHECKER)
    return [f"{path}: {'/'.join(map(str, e.path))}: {e.message}" for e in checker.iter_errors(document)]


def interpreter_package(folder):
    # The Python that drew the icons is part of what makes the exe.
    python = os.path.realpath(cache("Python3_EXECUTABLE", folder))
    package = run("dpkg-query", "-S", python).stdout.partition(":")[0]
    if not package:
        raise Refused(f"{python} is in no package")
    return package


def write_dist(dist, outputs, stale):
    """Puts outputs ({path in dist: bytes}) into dist and removes the stale paths, each file replaced whole."""
    os.makedirs(dist, exist_ok=True)
    # Staged beside the files they replace, so that each replacement is a rename.
    with tempfile.TemporaryDirectory(dir=dist, prefix=".staging-") as staging:
        for path, data in outputs.items():
            os.makedirs(os.path.dirname(os.path.join(staging, path)), exist_ok=True)
            with open(os.path.join(staging, path), "wb") as f:
                f.write(data)
        for path in stale:
            target = os.path.join(dist, path)
            if os.path.isdir(target):
                os.replace(target, os.path.join(staging, "stale"))
            elif os.path.exists(target):
                os.remove(target)
        for path in outputs:
            os.makedirs(os.path.dirname(os.path.join(dist, path)), exist_ok=True)
            os.replace(os.path.join(staging, path), os.path.join(dist, path))


def pack(dist):
    # Nothing in dist changes before the end: a refused or failed run leaves the last release as it was.
    os.chdir(ROOT)
    epoch = source_date_epoch()
    version = project_version()
    zip_name = f"Noctara-{version}-win-x64.zip"
    authority = os.environ.get("UPDATE_AUTHORITY", "")
    url = os.environ.get("DOWNLOAD_URL", "")
    homepage = os.environ.get("HOMEPAGE", "")
    reason = check_authority(authority)
    reason = reason or url and check_https("DOWNLOAD_URL", url, zip_name)
    if not reason and url and not homepage:
        reason = "the manifests need HOMEPAGE=https://..., the page that tells about Noctara"
    reason = reason or homepage and check_https("HOMEPAGE", homepage)
    if reason:
        raise Refused(reason)
    notes = release_notes(version)
    signing = signing_request()
    commit = source_commit()

    env = {**BUILD_ENV, "SOURCE_DATE_EPOCH": epoch}
    configure = run("cmake", "--preset", "release", f"-DNOCTARA_UPDATE_AUTHORITY={authority}", env=env)
    if configure.returncode:
        print(configure.stdout + configure.stderr, file=sys.stderr)
        raise Refused("cmake could not configure the release build")
    if subprocess.run(["cmake", "--build", "--preset", "release"], env=env).returncode:
        raise Refused("the build failed")
    if cache("NOCTARA_UPDATE_AUTHORITY") != authority:
        raise Refused(f"the build took {cache('NOCTARA_UPDATE_AUTHORITY')!r}, not UPDATE_AUTHORITY {authority!r}")

    exe = "build-release/Noctara.exe"
    unsigned_sha256 = sha256(read(exe))
    if signing:
        exe = sign(exe, epoch, signing)
    else:
        print("Unsigned: no SIGN_PFX and SIGN_PASSWORD_FILE given.")

    versions = {name: installed(name) for name in PACKAGES + [interpreter_package("build-release")]}
    info = {"version": version, "commit": commit, "source-date-epoch": epoch, "update-authority": authority,
            "unsigned-exe-sha256": unsigned_sha256}
    files = zip_files(read(exe), info, versions)
    parse_buildinfo(files[-2][1].decode())  # what verify reads back, in the form it reads it
    archive = zip_bytes(files, epoch)
    digest = sha256(archive)

    texts = manifests(info, url, homepage, notes, digest) if url else {}
    errors = [error for path, text in texts.items() for error in schema_errors(path, text)]
    if errors:
        print("\n".join(errors), file=sys.stderr)
        raise Refused("the manifests do not fit their schemas")
    outputs = {zip_name: archive, zip_name + ".sha256": f"{digest}  {zip_name}\n".encode()}
    outputs.update((path, text.encode()) for path, text in texts.items())
    # This version's manifests of an earlier run name another zip's hash: they go, whether or not new ones come.
    write_dist(dist, outputs, [f"{WINGET_FOLDER}/{version}", "scoop/noctara.json"])
    print(f"{os.path.join(dist, zip_name)}\n{digest}")
    if texts:
        print("Manifests, checked against their schemas:", *(os.path.join(dist, p) for p in texts), sep="\n  ")
    else:
        print(f"No manifests: give DOWNLOAD_URL=https://.../{zip_name} and HOMEPAGE=https://... for winget's and "
              "Scoop's.")


class Verdict(Exception):
    def __init__(self, kind, reason, status):
        super().__init__(f"verify-release: {kind}: {reason}")
        self.status = status


def mismatch(reason):
    return Verdict("MISMATCH", reason, 1)


def check_zip(zip_path):
    """The sums checked; returns BUILDINFO.txt's values and the zip's exe."""
    name = os.path.basename(zip_path)
    if os.path.exists(zip_path + ".sha256"):
        if read(zip_path + ".sha256").split()[:1] != [sha256(read(zip_path)).encode()]:
            raise mismatch(f"{name} does not match {name}.sha256")
        print(f"{name}: matches {name}.sha256")
    if not zipfile.is_zipfile(zip_path):
        raise mismatch(f"{name} is not a zip")
    archive = zipfile.ZipFile(zip_path)
    names = archive.namelist()
    lines = (archive.read("SHA256SUMS").decode() if "SHA256SUMS" in names else "").splitlines()
    listed = dict(reversed(line.split("  ", 1)) if "  " in line else ("", line) for line in lines)
    if len(lines) != len(listed) or sorted(listed) != sorted(set(names) - {"SHA256SUMS"}) or \
            len(names) != len(listed) + 1:
        raise mismatch("SHA256SUMS does not list every file of the zip once")
    for member, digest in listed.items():
        if sha256(archive.read(member)) != digest:
            raise mismatch(f"{member} does not match its SHA-256 in SHA256SUMS")
    print(f"SHA256SUMS: the {len(listed)} files match")
    if "Noctara.exe" not in names:
        raise mismatch(f"{name} holds no Noctara.exe")
    # Only what a rebuild may be given: nothing reaches the build unchecked.
    try:
        info = parse_buildinfo(archive.read("BUILDINFO.txt").decode() if "BUILDINFO.txt" in names else "")
    except Refused as reason:
        raise mismatch(str(reason))
    return info, archive.read("Noctara.exe")


def check_signature(work, exe):
    """The exe without its signature, the signature checked; and what kind of release it is."""
    with open(os.path.join(work, "zip.exe"), "wb") as f:
        f.write(exe)
    removed = run("osslsigncode", "remove-signature", "-in", f"{work}/zip.exe", "-out", f"{work}/unsigned.exe")
    if removed.returncode:
        if "No signature found" not in removed.stdout + removed.stderr:
            raise Verdict("ERROR", f"osslsigncode could not read Noctara.exe: {removed.stdout}{removed.stderr}", 2)
        print("Signature: none")
        return exe, "unsigned"
    ca, tsa_ca = os.environ.get("SIGN_CA", ""), os.environ.get("SIGN_TSA_CA", "")
    options = (["-CAfile", ca] if ca else []) + (["-TSA-CAfile", tsa_ca] if tsa_ca else [])
    checked = run("osslsigncode", "verify", *options, "-in", f"{work}/zip.exe")
    log = checked.stdout + checked.stderr
    if checked.returncode:
        print("\n".join(line for line in log.splitlines() if re.search("Error|failed", line)))
        raise mismatch(f"the signature of Noctara.exe does not verify{f' against {ca}' if ca else ''}")
    # osslsigncode's verify succeeds with a time-stamp it could not verify.
    if re.search(r"^Timestamp Server Signature verification: failed", log, re.M):
        print("\n".join(line for line in log.splitlines() if "Error" in line))
        raise mismatch(f"the time-stamp of Noctara.exe does not verify{f' against {tsa_ca}' if tsa_ca else ''}")
    # osslsigncode 2.9 says "Timestamp time: ", 2.5 (Debian 12's own) "The signature is timestamped: ".
    stamp = re.search(r"^(?:\s*Timestamp time: |The signature is timestamped: )(.*)$", log, re.M)
    # The name Windows shows under Digital Signatures: the signer's common name.
    subject = re.search(r"Signer #0:\s*Subject: (.*)$", log, re.M)
    signer = re.search(r"/CN=([^/]*)", subject[1] if subject else "")
    signer = signer[1] if signer else subject[1] if subject else "unknown"
    print(f"Signature: verified, signer {signer}{f', time-stamped {stamp[1]}' if stamp else ''}")
    return read(f"{work}/unsigned.exe"), f"signed by {signer}{', time-stamped' if stamp else ''}"


def verify(zip_arg):
    if not zip_arg or not os.path.isfile(zip_arg):
        raise Verdict("ERROR", "give an existing zip: make verify-release ZIP=path/to/Noctara-VERSION-win-x64.zip", 2)
    zip_path = os.path.abspath(zip_arg)
    os.chdir(ROOT)
    info, zip_exe = check_zip(zip_path)
    with tempfile.TemporaryDirectory() as work:
        unsigned, kind = check_signature(work, zip_exe)

    # Refused before building: a source nobody can check out, or one that is not this checkout's.
    commit = info["commit"][0]
    if commit == "unknown" or commit.endswith("-dirty"):
        raise mismatch(f"the release was not built from a commit (BUILDINFO.txt says {commit}): "
                       "no checkout has its source")
    head = run("git", "rev-parse", "-q", "--verify", "HEAD").stdout.strip()
    if not head:
        raise Verdict("ERROR", "this is no git checkout", 2)
    if head != commit:
        raise mismatch(f"the release is commit {commit}, this checkout is at {head}: check out {commit} and run again")
    if run("git", "status", "--porcelain", "--untracked-files=no").stdout.strip():
        print(run("git", "status", "--short", "--untracked-files=no").stdout, end="")
        raise mismatch("this checkout has uncommitted changes (listed above): commit or stash them and run again")
    print(f"Commit: {commit}, no uncommitted change")

    # Other package versions may still build the same bytes; if they do not, they are the likely reason.
    differ = []
    for line in info["package"]:
        package, recorded = line.split(" ")
        state, _, now = run("dpkg-query", "-W", "-f=${db:Status-Abbrev}|${Version}", package).stdout.partition("|")
        if state.strip() != "ii" or now != recorded:
            differ.append(f"{package:<36} {recorded:<32} {now if state.strip() == 'ii' else '(none)'}")
    if differ:
        print(f"{'package':<36} {'recorded':<32} installed", *differ, sep="\n")
    print(f"Toolchain: {len(differ)} of {len(info['package'])} packages differ from the release's")

    print("Rebuilding in build-verify/")
    env = {**BUILD_ENV, "SOURCE_DATE_EPOCH": info["source-date-epoch"][0]}
    authority = info["update-authority"][0]
    with tempfile.TemporaryFile("w+") as log:
        configure = ["cmake", "--preset", "release", "-B", "build-verify", f"-DNOCTARA_UPDATE_AUTHORITY={authority}"]
        for command in (configure, ["cmake", "--build", "build-verify"]):
            if subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, env=env).returncode:
                log.seek(0)
                print("".join(log.readlines()[-20:]), end="")
                raise Verdict("ERROR", "the rebuild failed", 2)
    rebuilt = read("build-verify/Noctara.exe")
    if rebuilt != unsigned:
        if differ:
            raise mismatch("Noctara.exe differs from this checkout's build, made with other package versions "
                           "(listed above)")
        removed = " (its signature removed)" if kind != "unsigned" else ""
        raise mismatch(f"Noctara.exe differs from this checkout's build{removed}")
    if sha256(rebuilt) != info["unsigned-exe-sha256"][0]:
        raise mismatch("BUILDINFO.txt records another SHA-256 for the exe before signing")
    print("Noctara.exe: this checkout's build")

    # The other files, made again from this checkout and BUILDINFO.txt's values.
    try:
        package = interpreter_package("build-verify")
    except Refused as reason:
        raise Verdict("ERROR", str(reason), 2)
    versions = dict(line.split(" ") for line in info["package"])
    values = {key: info[key][0] for key in BUILDINFO_FORMS if key != "package"}
    expected = zip_files(zip_exe, {**values, "version": project_version()}, {
        name: versions.get(name, "unrecorded") for name in PACKAGES + [package]})
    archive = zipfile.ZipFile(zip_path)
    names = archive.namelist()
    extra = [name for name in names if name not in dict(expected)]
    if extra:
        raise mismatch(f"{extra[0]} is no file this checkout makes")
    for name, data in expected:
        if name not in names:
            raise mismatch(f"the zip holds no {name}")
        if archive.read(name) != data:
            raise mismatch(f"{name} differs from the one this checkout makes")
    if kind == "unsigned" and read(zip_path) != zip_bytes(expected, values["source-date-epoch"]):
        raise mismatch(f"{os.path.basename(zip_path)} differs from the zip this checkout packs of the same files")
    print(f"{len(expected) - 1} other files: as this checkout makes them")
    raise Verdict("MATCH", f"{os.path.basename(zip_path)} ({kind}) is commit {commit[:12]}: every file of the zip "
                  "is this checkout's", 0)


def main():
    parser = argparse.ArgumentParser(description="Packs a Noctara release, or checks one against this checkout.")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("pack", help="build, sign when asked, pack the zip and the manifests").add_argument(
        "--dist", default="dist", help="the folder that receives the zip and the manifests")
    commands.add_parser("verify", help="check a release zip and rebuild its exe").add_argument("zip", nargs="?")
    args = parser.parse_args()
    if args.command == "pack":
        try:
            pack(os.path.abspath(args.dist))
        except Refused as reason:
            sys.exit(f"release: {reason}; no zip made")
        return
    try:
        verify(args.zip)
    except Verdict as verdict:
        sys.stdout.flush()
        print(verdict)
        sys.exit(verdict.status)


if __name__ == "__main__":
    main()
