#!/usr/bin/env python3
"""check_exe.py EXE: the program imports only DLLs every Windows has, is
hardened, and carries its icons at their sizes, its manifest and the version
the tray shows."""
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

exe = sys.argv[1]
headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
# Loaded before the first line of code, so only KnownDLLs, which Windows never
# looks for beside the exe, and comctl32, which the manifest binds. WinHTTP is
# delay-loaded.
known = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll"}
assert len(dlls) >= 5 and dlls <= known | {"comctl32.dll"}, dlls
# Terminal-server aware (0x8000), NX (0x100), dynamic base (0x40), high-entropy addresses (0x20).
flags = int(re.search(r"DllCharacteristics\s+([0-9a-f]+)", headers).group(1), 16)
assert flags & 0x8160 == 0x8160, hex(flags)

resources = subprocess.run(["wrestool", "-l", exe], capture_output=True, text=True).stdout
for kind in ("--type=14 --name=101", "--type=14 --name=102", "--type=24 --name=1", "--type=16 --name=1"):
    assert kind in resources, kind
version = subprocess.run(["wrestool", "-x", "--raw", "-t16", exe], capture_output=True).stdout
assert "1.2.2\0".encode("utf-16-le") in version, version
assert "1.2.2.0\0".encode("utf-16-le") in version, version
# The numbers Explorer shows, file and product: 1.2.2.0 as two pairs of 16-bit halves.
fixed = version.find(struct.pack("<I", 0xFEEF04BD))
assert fixed >= 0 and struct.unpack_from("<4I", version, fixed + 8) == (0x10002, 0x20000, 0x10002, 0x20000), version
manifest = subprocess.run(["wrestool", "-x", "--raw", "-t24", "-n1", exe], capture_output=True).stdout.decode()
identity = re.search(r'<assemblyIdentity[^>]*name="QorvexLabs\.Noctara"[^>]*>', manifest)
assert identity and 'version="1.2.2.0"' in identity.group(0), manifest

# The active icon at 16, 24, 32 and 48 pixels, the paused one at 16, each of 32 bits.
for group, sizes in ((101, [16, 24, 32, 48]), (102, [16])):
    directory = subprocess.run(["wrestool", "-x", "--raw", "-t14", f"-n{group}", exe], capture_output=True).stdout
    entries = [directory[6 + 14 * i:20 + 14 * i] for i in range(struct.unpack_from("<H", directory, 4)[0])]
    shapes = [(entry[0], entry[1], struct.unpack_from("<H", entry, 6)[0]) for entry in entries]
    assert shapes == [(size, size, 32) for size in sizes], (group, shapes)

# The manifest as Windows reads it from the exe: per-monitor (v2) DPI awareness in both the element Windows 10 1607
# and later read and the one before, and Windows 7, 8, 8.1 and 10/11 as supported systems.
manifest = ET.fromstring(subprocess.run(["wrestool", "-x", "--raw", "-t24", "-n1", exe], capture_output=True).stdout)
asm3 = "{urn:schemas-microsoft-com:asm.v3}"
settings = manifest.find(f"{asm3}application/{asm3}windowsSettings")
assert settings is not None, "no windowsSettings"
dpi = [(child.tag, child.text) for child in settings]
assert dpi == [("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware", "true/pm"),
               ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness", "PerMonitorV2, PerMonitor")], dpi
compatibility = "{urn:schemas-microsoft-com:compatibility.v1}"
path = f"{compatibility}compatibility/{compatibility}application/{compatibility}supportedOS"
systems = sorted(entry.get("Id") for entry in manifest.findall(path))
assert systems == ["{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"], systems
