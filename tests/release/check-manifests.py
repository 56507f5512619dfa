#!/usr/bin/python3
"""check-manifests.py DIST VERSION URL: DIST's winget and Scoop manifests; exits 1 with every fault found."""
import hashlib
import json
import sys

import yaml

dist, version, url = sys.argv[1:]
faults = []


def expect(what, found, wanted):
    if found != wanted:
        faults.append(f"{what}: {found!r}, not {wanted!r}")


def check(path, wanted):
    with open(f"{dist}/{path}", "rb") as f:
        data = f.read()
    document = json.loads(data) if path.endswith(".json") else yaml.safe_load(data)
    for key, value in wanted.items():
        expect(f"{path} {key}", document.get(key), value)
    return document


zip_name = f"Noctara-{version}-win-x64.zip"
with open(f"{dist}/{zip_name}", "rb") as f:
    digest = hashlib.sha256(f.read()).hexdigest()

files = [("", {"DefaultLocale": "pt-BR"}),
         (".installer", {
             "InstallerType": "zip", "NestedInstallerType": "portable", "Scope": "user",
             "NestedInstallerFiles": [{"RelativeFilePath": "Noctara.exe", "PortableCommandAlias": "noctara"}],
             "MinimumOSVersion": "10.0.0.0", "ReleaseDate": "2026-01-01",
             "Installers": [{"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": digest.upper()}]}),
         (".locale.pt-BR", {
             "PackageLocale": "pt-BR", "Publisher": "Qorvex Labs", "PackageName": "Noctara", "License": "MIT",
             "PublisherUrl": "https://localhost/noctara", "PackageUrl": "https://localhost/noctara",
             "LicenseUrl": "https://spdx.org/licenses/MIT.html", "Copyright": "Copyright (c) 2026 Qorvex Labs"})]
for suffix, wanted in files:
    check(f"winget/manifests/q/QorvexLabs/Noctara/{version}/QorvexLabs.Noctara{suffix}.yaml",
          {"PackageIdentifier": "QorvexLabs.Noctara", "PackageVersion": version, **wanted})
# The x64 zip under 64bit only; the version replaced in the path, not in the host.
pattern = f"https://{version}.localhost/dl/Noctara-$version-win-x64.zip"
scoop = check("scoop/noctara.json", {
    "version": version, "license": "MIT", "url": None, "hash": None, "bin": "Noctara.exe",
    "architecture": {"64bit": {"url": url, "hash": digest}}, "homepage": "https://localhost/noctara", "shortcuts": None,
    "checkver": {"url": "https://localhost:9/api/proxy?file=check_update.php", "jsonpath": "$.latest_version"},
    "autoupdate": {"architecture": {"64bit": {"url": pattern, "hash": {"url": "$url.sha256"}}}}})
expect("Scoop's notes name the shortcut's folder", any(r"Programs\Qorvex Labs" in n for n in scoop["notes"]), True)

sys.exit("\n".join(faults) or 0)
