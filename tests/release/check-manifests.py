#!/usr/bin/python3
"""check-manifests.py SCHEMAS DIST VERSION URL: the winget and Scoop manifests of DIST's release.

Valid against the schemas, laid out as winget's community repository lays
them out, carrying the zip's hash and address and what a user is promised.
Prints every fault found and exits 1 when there is one.
"""
import hashlib
import json
import os
import sys

import jsonschema
import yaml

schemas, dist, version, url = sys.argv[1:]
faults = []


def expect(what, found, wanted):
    if found != wanted:
        faults.append(f"{what}: {found!r}, not {wanted!r}")


def load(path, schema):
    with open(os.path.join(schemas, schema)) as f:
        schema = json.load(f)
    with open(path, "rb") as f:
        data = f.read()
    expect(f"{path} has a CR", b"\r" in data, False)
    document = json.loads(data) if path.endswith(".json") else yaml.safe_load(data)
    for error in jsonschema.Draft7Validator(schema).iter_errors(document):
        faults.append(f"{path}: {error.message}")
    return document


zip_name = f"Noctara-{version}-win-x64.zip"
with open(os.path.join(dist, zip_name), "rb") as f:
    digest = hashlib.sha256(f.read()).hexdigest()
with open(os.path.join(dist, zip_name + ".sha256")) as f:
    expect(".sha256", f.read(), f"{digest}  {zip_name}\n")

folder = os.path.join(dist, "winget/manifests/q/QorvexLabs/Noctara", version)
expect("winget files", sorted(os.listdir(folder)),
       ["QorvexLabs.Noctara.installer.yaml", "QorvexLabs.Noctara.locale.pt-BR.yaml", "QorvexLabs.Noctara.yaml"])
kinds = {"version": ("QorvexLabs.Noctara.yaml", {"DefaultLocale": "pt-BR"}),
         "installer": ("QorvexLabs.Noctara.installer.yaml", {
             "InstallerType": "zip", "NestedInstallerType": "portable", "Scope": "user",
             "NestedInstallerFiles": [{"RelativeFilePath": "Noctara.exe", "PortableCommandAlias": "noctara"}],
             "MinimumOSVersion": "10.0.0.0", "ReleaseDate": "2026-01-01",
             "Installers": [{"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": digest.upper()}]}),
         "defaultLocale": ("QorvexLabs.Noctara.locale.pt-BR.yaml", {
             "PackageLocale": "pt-BR", "Publisher": "Qorvex Labs", "PackageName": "Noctara", "License": "MIT"})}
for kind, (name, wanted) in kinds.items():
    manifest = load(os.path.join(folder, name), f"winget-1.10.0/manifest.{kind}.1.10.0.json")
    wanted = {"PackageIdentifier": "QorvexLabs.Noctara", "PackageVersion": version, **wanted, "ManifestType": kind,
              "ManifestVersion": "1.10.0"}
    for key, value in wanted.items():
        expect(f"{name} {key}", manifest.get(key), value)
    if kind == "defaultLocale":
        expect("ReleaseNotes given", bool(manifest.get("ReleaseNotes", "").strip()), True)

scoop = load(os.path.join(dist, "scoop/noctara.json"), "scoop/schema.json")
for key, value in {"version": version, "license": "MIT", "url": url, "hash": digest, "bin": "Noctara.exe",
                   "homepage": "https://localhost/"}.items():
    expect(f"noctara.json {key}", scoop.get(key), value)
expect("noctara.json shortcuts", "shortcuts" in scoop, False)
expect("noctara.json autoupdate url", scoop.get("autoupdate", {}).get("url"),
       "https://localhost/dl/Noctara-$version-win-x64.zip")
notes = " ".join(scoop.get("notes", []))
for words in ("Iniciar com Windows", "Sair", "scoop uninstall noctara",
              r"%APPDATA%\Microsoft\Windows\Start Menu\Programs\Qorvex Labs"):
    expect(f"noctara.json notes name {words}", words in notes, True)
expect("noctara.json checkver", scoop.get("checkver"),
       {"url": "https://localhost:9/api/proxy?file=check_update.php", "jsonpath": "$.latest_version"})

print(*faults, sep="\n")
sys.exit(1 if faults else 0)
