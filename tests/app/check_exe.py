#!/usr/bin/env python3
"""check_exe.py EXE: imports, hardening, icons, manifest and version of the program."""
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
# Only KnownDLLs, never looked for beside the exe, and comctl32, which the manifest binds; WinHTTP is delay-loaded.
known = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll", "comctl32.dll"}
assert len(dlls) >= 5 and dlls <= known, dlls
# Terminal-server aware (0x8000), NX (0x100), dynamic base (0x40), high-entropy addresses (0x20).
flags = int(re.search(r"DllCharacteristics\s+([0-9a-f]+)", headers).group(1), 16)
assert flags & 0x8160 == 0x8160, hex(flags)

version = run("wrestool", "-x", "--raw", "-t16", exe)
for text in ("1.2.2\0", "1.2.2.0\0"):
    assert text.encode("utf-16-le") in version, version
# The numbers Explorer shows, file and product: 1.2.2.0 as two pairs of 16-bit halves.
fixed = version.find(struct.pack("<I", 0xFEEF04BD))
assert fixed >= 0 and struct.unpack_from("<4I", version, fixed + 8) == (0x10002, 0x20000, 0x10002, 0x20000), version

# Each of 32 bits.
for group, sizes in ((101, [16, 20, 24, 32, 40, 48]), (102, [16, 20, 24, 32, 40, 48])):
    directory = run("wrestool", "-x", "--raw", "-t14", f"-n{group}", exe)
    count = struct.unpack_from("<H", directory, 4)[0]
    shapes = [struct.unpack_from("<BB4xH", directory, 6 + 14 * i) for i in range(count)]
    assert shapes == [(size, size, 32) for size in sizes], (group, shapes)

# Per-monitor (v2) DPI awareness for Windows 10 1607 and later, and before; Windows 7 to 11 supported.
manifest = ET.fromstring(run("wrestool", "-x", "--raw", "-t24", "-n1", exe))
identity = manifest.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity").attrib
assert (identity.get("name"), identity.get("version")) == ("QorvexLabs.Noctara", "1.2.2.0"), identity
asm3 = "{urn:schemas-microsoft-com:asm.v3}"
dpi = [(child.tag, child.text) for child in manifest.find(f"{asm3}application/{asm3}windowsSettings")]
assert dpi == [("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware", "true/pm"),
               ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness", "PerMonitorV2, PerMonitor")], dpi
compatibility = {"c": "urn:schemas-microsoft-com:compatibility.v1"}
entries = manifest.findall("c:compatibility/c:application/c:supportedOS", compatibility)
systems = sorted(entry.get("Id") for entry in entries)
assert systems == ["{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"], systems
