#!/usr/bin/env python3
"""Write a .reg file that puts one CA certificate into a Wine prefix's
current-user Root store.

Usage: cert_to_reg.py CA.der OUT.reg

Wine's crypt32 reads HKCU\\Software\\Microsoft\\SystemCertificates\\Root as a
registry-backed store: one subkey per certificate, named by its SHA-1
thumbprint, whose "Blob" value is a list of serialized properties.  Each
property is a header of three little-endian 32-bit words (property id, 1,
length) followed by the data.  Wine needs the hash property and the
certificate itself (property 0x20).
"""
import hashlib
import struct
import sys

ROOT_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates"
PROP_SHA1_HASH = 3
PROP_CERT = 0x20


def thumbprint(der: bytes) -> str:
    return hashlib.sha1(der).hexdigest().upper()


def serialized_blob(der: bytes) -> bytes:
    def prop(prop_id: int, data: bytes) -> bytes:
        return struct.pack("<III", prop_id, 1, len(data)) + data

    return prop(PROP_SHA1_HASH, hashlib.sha1(der).digest()) + prop(PROP_CERT, der)


def reg_text(der: bytes) -> str:
    # regedit-style hex: data, wrapped with a trailing backslash so no line
    # grows unreasonably long; reg.exe requires the continuation lines.
    hex_bytes = [f"{b:02x}" for b in serialized_blob(der)]
    lines = []
    line = '"Blob"=hex:'
    for i, h in enumerate(hex_bytes):
        piece = h + ("," if i + 1 < len(hex_bytes) else "")
        if len(line) + len(piece) > 77:
            lines.append(line + "\\")
            line = "  "
        line += piece
    lines.append(line)
    return "\r\n".join(
        [
            "Windows Registry Editor Version 5.00",
            "",
            f"[{ROOT_KEY}\\{thumbprint(der)}]",
            *lines,
            "",
            "",
        ]
    )


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    with open(argv[1], "rb") as f:
        der = f.read()
    if not der or der[0] != 0x30:
        print(f"{argv[1]}: not a DER certificate", file=sys.stderr)
        return 1
    with open(argv[2], "w", encoding="ascii", newline="") as f:
        f.write(reg_text(der))
    print(thumbprint(der))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
