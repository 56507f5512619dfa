#!/usr/bin/env python3
"""The local update service for the tests, the benchmark and the screenshots:
service.py PORT DIR, serving HTTPS with DIR/cert.pem and DIR/key.pem. Once
listening it writes DIR/trust.reg, which trusts the certificate in a Wine
prefix: one key per certificate in the Root store, its "Blob" the properties
(id, 1, length, data) SHA-1 (3) and DER (0x20).

POST /answer "STATUS HOW BODY" (BODY's characters are its bytes) sets the
answer to later requests, sent "whole", "short" (100 bytes fewer than
announced), "unsized" (no length, the connection closed after the body) or
"stall" (nothing for 15 s), and starts a new log.
GET /log gives the request lines and headers since.
"""
import hashlib
import http.server
import ssl
import struct
import sys
import time

answer = (200, "whole", b"")
log = []


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        global answer
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/answer":
            status, how, data = body.decode().split(" ", 2)
            answer = (int(status), how, data.encode("latin-1"))
            log.clear()
            self.reply(200, b"ok")
        elif self.path == "/log":
            self.reply(200, "".join(log).encode())
        elif answer[1] == "stall":
            log.append(f"{self.requestline}\n{self.headers}")
            time.sleep(15)
            self.close_connection = True
        else:
            log.append(f"{self.requestline}\n{self.headers}")
            self.reply(answer[0], answer[2], 100 if answer[1] == "short" else 0, answer[1] != "unsized")

    do_POST = do_GET

    def reply(self, status, data, missing=0, sized=True):
        self.send_response(status)
        if sized:
            self.send_header("Content-Length", str(len(data) + missing))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = missing > 0 or not sized

    def log_message(self, *args):
        pass


folder = sys.argv[2]
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(f"{folder}/cert.pem", f"{folder}/key.pem")
server.socket = context.wrap_socket(server.socket, server_side=True)
der = ssl.PEM_cert_to_DER_cert(open(f"{folder}/cert.pem").read())
sha1 = hashlib.sha1(der)
blob = struct.pack("<3I", 3, 1, 20) + sha1.digest() + struct.pack("<3I", 0x20, 1, len(der)) + der
key = "HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + sha1.hexdigest().upper()
with open(f"{folder}/trust.reg", "w") as trust:
    trust.write(f'REGEDIT4\n\n[{key}]\n"Blob"=hex:{",".join("%02x" % b for b in blob)}\n')
server.serve_forever()
