#!/usr/bin/env python3
"""check_exe.py EXE: imports, hardening, version, icons and manifest of the program."""
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

exe = sys.argv[1]


def run(*command):
    return subprocess.run(command, capture_output=True).stdout


headers = run("x86_64-w64-mingw32-objdump", "-p", exe).decode()
dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
# KnownDLLs, never looked for beside the exe, and comctl32, which the manifest binds; WinHTTP is delay-loaded.
known = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll", "comctl32.dll"}
assert len(dlls) >= 5 and dlls <= known, dlls
# Terminal-server aware (0x8000), NX (0x100), dynamic base (0x40), high-entropy addresses (0x20).
flags = int(re.search(r"DllCharacteristics\s+([0-9a-f]+)", headers)[1], 16)
assert flags & 0x8160 == 0x8160, hex(flags)

version = run("wrestool", "-x", "--raw", "-t16", exe)
for text in ("1.2.2\0", "1.2.2.0\0"):
    assert text.encode("utf-16-le") in version, version
# The file and product numbers Explorer shows: 1.2.2.0 as 16-bit halves.
fixed = version.find(struct.pack("<I", 0xFEEF04BD))
assert fixed >= 0 and struct.unpack_from("<4I", version, fixed + 8) == (0x10002, 0x20000, 0x10002, 0x20000), version

for group in (101, 102):
    directory = run("wrestool", "-x", "--raw", "-t14", f"-n{group}", exe)
    # Width, height and bits of each entry.
    shapes = list(struct.iter_unpack("<BB4xH6x", directory[6:]))
    assert shapes == [(size, size, 32) for size in (16, 20, 24, 32, 40, 48)], (group, shapes)

manifest = ET.fromstring(run("wrestool", "-x", "--raw", "-t24", "-n1", exe))
identity = manifest.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity").attrib
assert (identity["name"], identity["version"]) == ("QorvexLabs.Noctara", "1.2.2.0"), identity
# Per-monitor (v2) DPI awareness for Windows 10 1607 and later, and before; Windows 7 to 11 supported.
asm3 = "{urn:schemas-microsoft-com:asm.v3}"
dpi = [(child.tag, child.text) for child in manifest.find(f"{asm3}application/{asm3}windowsSettings")]
assert dpi == [("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware", "true/pm"),
               ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness", "PerMonitorV2, PerMonitor")], dpi
c = "{urn:schemas-microsoft-com:compatibility.v1}"
systems = sorted(entry.get("Id") for entry in manifest.findall(f"{c}compatibility/{c}application/{c}supportedOS"))
assert systems == ["{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"], systems
