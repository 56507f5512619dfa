#!/usr/bin/python3
"""check-manifests.py DIST VERSION URL: exits 1 naming each wrong value in DIST's manifests."""
import hashlib
import sys

import yaml

dist, version, url = sys.argv[1:]
digest = hashlib.sha256(open(f"{dist}/Noctara-{version}-win-x64.zip", "rb").read()).hexdigest()
home = "https://localhost/noctara"
head = {"PackageIdentifier": "QorvexLabs.Noctara", "PackageVersion": version}
winget = f"winget/manifests/q/QorvexLabs/Noctara/{version}/QorvexLabs.Noctara"
wanted = {
    f"{winget}.yaml": {**head, "DefaultLocale": "pt-BR"},
    f"{winget}.installer.yaml": {
        **head, "InstallerType": "zip", "NestedInstallerType": "portable", "Scope": "user",
        "NestedInstallerFiles": [{"RelativeFilePath": "Noctara.exe", "PortableCommandAlias": "noctara"}],
        "MinimumOSVersion": "10.0.0.0", "ReleaseDate": "2026-01-01",
        "Installers": [{"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": digest.upper()}]},
    f"{winget}.locale.pt-BR.yaml": {
        **head, "PackageLocale": "pt-BR", "Publisher": "Qorvex Labs", "PackageName": "Noctara", "License": "MIT",
        "PublisherUrl": home, "PackageUrl": home, "LicenseUrl": "https://spdx.org/licenses/MIT.html",
        "Copyright": "Copyright (c) 2026 Qorvex Labs"},
    # The zip under 64bit only; the version replaced in the path, not in the host.
    "scoop/noctara.json": {
        "version": version, "license": "MIT", "url": None, "hash": None, "bin": "Noctara.exe", "homepage": home,
        "shortcuts": None, "architecture": {"64bit": {"url": url, "hash": digest}},
        "checkver": {"url": "https://localhost:9/api/proxy?file=check_update.php", "jsonpath": "$.latest_version"},
        "autoupdate": {"architecture": {"64bit": {
            "url": f"https://{version}.localhost/dl/Noctara-$version-win-x64.zip", "hash": {"url": "$url.sha256"}}}}},
}
faults = []
for path, keys in wanted.items():
    # YAML reads the JSON too.
    document = yaml.safe_load(open(f"{dist}/{path}", "rb"))
    faults += [f"{path} {key}: {document.get(key)!r}, not {value!r}" for key, value in keys.items()
               if document.get(key) != value]
# Scoop's, read last: its notes name the shortcut's folder.
if r"Programs\Qorvex Labs" not in "".join(document["notes"]):
    faults.append("Scoop's notes do not name the shortcut's folder")
sys.exit("\n".join(faults) or 0)
