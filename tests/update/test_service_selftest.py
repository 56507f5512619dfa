"""Self-test of the HTTPS test service and its test CA (host side, no Wine).

Run: python3 -m unittest discover -s tests/update -p 'test_*.py'
"""
import base64
import hashlib
import http.client
import json
import os
import shutil
import signal
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPTS = os.path.join(ROOT, "scripts")
MIB = 1024 * 1024


def start_service(certdir, tmp):
    ready = os.path.join(tmp, f"ready-{time.monotonic_ns()}")
    proc = subprocess.Popen(
        [sys.executable, os.path.join(SCRIPTS, "test_service.py"), "--port", "0",
         "--cert", os.path.join(certdir, "server.pem"), "--ready-file", ready]
    )
    deadline = time.monotonic() + 10
    while not os.path.exists(ready):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError("test service did not start")
        time.sleep(0.05)
    with open(ready) as f:
        return proc, int(f.read()), ready


@unittest.skipUnless(shutil.which("openssl"), "openssl is needed to make the test CA")
class ServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="svc-selftest-")
        cls.certdir = os.path.join(cls.tmp, "ca")
        subprocess.run(["bash", os.path.join(SCRIPTS, "make-test-ca.sh"), cls.certdir],
                       check=True, stdout=subprocess.DEVNULL)
        cls.ctx = ssl.create_default_context(cafile=os.path.join(cls.certdir, "ca.pem"))
        cls.proc, cls.port, _ = start_service(cls.certdir, cls.tmp)

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(10)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.request("GET", "/__reset")

    def request(self, method, path, body=None, headers=None, timeout=10):
        # Hostname checking is on: every request also proves the certificate
        # chains to the test CA and names localhost.
        conn = http.client.HTTPSConnection("localhost", self.port, context=self.ctx, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, resp, resp.read()
        finally:
            conn.close()

    def mode(self, name, **params):
        query = "".join(f"&{k}={v}" for k, v in params.items())
        status, _, body = self.request("GET", f"/__mode?name={name}{query}")
        self.assertEqual((status, body), (200, b"ok"))

    def answer(self, name, **params):
        self.mode(name, **params)
        return self.request("GET", "/api/proxy?file=check_update.php")

    # --- certificates -----------------------------------------------------

    def test_trust_reg_matches_ca_and_rerun_keeps_files(self):
        with open(os.path.join(self.certdir, "ca.der"), "rb") as f:
            der = f.read()
        sha1 = hashlib.sha1(der)
        with open(os.path.join(self.certdir, "trust-ca.reg"), encoding="ascii") as f:
            text = f.read()
        self.assertIn("\\SystemCertificates\\Root\\Certificates\\" + sha1.hexdigest().upper() + "]", text)
        hex_text = text.split("=hex:")[1].replace("\\", "").replace(",", "")
        blob = bytes.fromhex("".join(hex_text.split()))
        self.assertEqual(blob[:12], struct.pack("<III", 3, 1, 20))
        self.assertEqual(blob[12:32], sha1.digest())
        self.assertEqual(blob[32:44], struct.pack("<III", 0x20, 1, len(der)))
        self.assertEqual(blob[44:], der)

        server_pem = os.path.join(self.certdir, "server.pem")
        before = os.stat(server_pem).st_mtime_ns
        subprocess.run(["bash", os.path.join(SCRIPTS, "make-test-ca.sh"), self.certdir], check=True)
        self.assertEqual(os.stat(server_pem).st_mtime_ns, before)

    def test_listens_on_loopback_only(self):
        with open("/proc/net/tcp") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        listening = [r[1] for r in rows if r[3] == "0A" and int(r[1].split(":")[1], 16) == self.port]
        self.assertEqual(listening, ["0100007F:%04X" % self.port])

    # --- answers ----------------------------------------------------------

    def test_bodies_are_exact_on_the_wire(self):
        status, _, body = self.answer("current")
        self.assertEqual(json.loads(body)["latest_version"], "1.2.2")
        self.assertEqual(json.loads(self.answer("trailing_space")[2])["latest_version"], "1.2.2 ")
        self.assertNotIn("latest_version", json.loads(self.answer("missing_version")[2]))
        self.assertIn(b'"https:\\/\\/localhost\\/dl\\/x.zip"', self.answer("escaped_slashes")[2])
        self.assertTrue(self.answer("bom")[2].startswith(b"\xef\xbb\xbf{"))
        with self.assertRaises(UnicodeDecodeError):
            self.answer("malformed_utf8")[2].decode("utf-8")
        self.assertEqual(self.answer("empty_body")[::2], (200, b""))
        for mode, code in (("status404", 404), ("status500", 500)):
            status, _, body = self.answer(mode)
            self.assertEqual((status, json.loads(body)["latest_version"]), (code, "1.3.0"))

    def test_size_boundaries_are_valid_json_of_exact_length(self):
        for mode, size in (("exactly_1mib", MIB), ("big", MIB + 1000)):
            status, resp, body = self.answer(mode)
            self.assertEqual((status, len(body), resp.getheader("Content-Length")), (200, size, str(size)))
            self.assertEqual(json.loads(body)["latest_version"], "1.3.0")

    def test_redirect_points_back_here_and_lands_on_newer(self):
        status, resp, _ = self.answer("redirect")
        location = resp.getheader("Location")
        self.assertEqual(status, 302)
        self.assertTrue(location.startswith(f"https://localhost:{self.port}/api/proxy?"), location)
        status, _, body = self.request("GET", location.split(str(self.port), 1)[1])
        self.assertEqual((status, json.loads(body)["latest_version"]), (200, "1.3.0"))

    def test_script_sequence_then_last_repeats(self):
        script = [{"status": 503, "body_b64": base64.b64encode(b"busy").decode()},
                  {"status": 200, "body_b64": base64.b64encode(b"\x00x").decode(), "headers": {"X-A": "1"}}]
        status, _, _ = self.request("POST", "/__script", body=json.dumps(script))
        self.assertEqual(status, 200)
        self.assertEqual(self.request("GET", "/a")[::2], (503, b"busy"))
        for _ in range(2):
            status, resp, body = self.request("GET", "/a")
            self.assertEqual((status, body, resp.getheader("X-A")), (200, b"\x00x", "1"))
        # A rejected script or mode leaves the current one in place.
        self.assertEqual(self.request("POST", "/__script", body=b"{not json")[0], 400)
        self.assertEqual(self.request("GET", "/__mode?name=no_such_mode")[0], 400)
        self.assertEqual(self.request("GET", "/a")[0], 200)

    # --- log --------------------------------------------------------------

    def test_log_records_requests_but_not_control_and_reset_clears(self):
        self.mode("echo")
        status, _, body = self.request("POST", "/api/x?y=1", body=b"\x01hi", headers={"X-Probe": "p"})
        echoed = json.loads(body)
        log = json.loads(self.request("GET", "/__log")[2])
        self.assertEqual(len(log), 1)
        for entry in (echoed, log[0]):
            self.assertEqual((entry["method"], entry["path"], entry["body_hex"]), ("POST", "/api/x?y=1", "016869"))
            self.assertIn(["X-Probe", "p"], entry["headers"])
        self.request("GET", "/__reset")
        self.assertEqual(json.loads(self.request("GET", "/__log")[2]), [])
        self.assertEqual(json.loads(self.request("GET", "/x")[2])["latest_version"], "1.2.2")

    # --- slow answers -----------------------------------------------------

    def test_stall_keeps_control_responsive_and_ends_on_reset(self):
        self.mode("stall")
        outcome = {}

        def stalled():
            start = time.monotonic()
            try:
                self.request("GET", "/slow", timeout=30)
                outcome["result"] = "answered"
            except (http.client.RemoteDisconnected, ConnectionError):
                outcome["result"] = "closed"
            outcome["elapsed"] = time.monotonic() - start

        t = threading.Thread(target=stalled)
        t.start()
        deadline = time.monotonic() + 5
        while not json.loads(self.request("GET", "/__log")[2]):
            self.assertLess(time.monotonic(), deadline, "stalled request never logged")
            time.sleep(0.05)
        self.request("GET", "/__reset")
        t.join(5)
        self.assertEqual(outcome.get("result"), "closed")
        self.assertLess(outcome["elapsed"], 5)

    def test_stall_and_trickle_end_by_themselves(self):
        self.mode("stall", seconds=1)
        start = time.monotonic()
        with self.assertRaises(http.client.RemoteDisconnected):
            self.request("GET", "/slow")
        self.assertLess(time.monotonic() - start, 5)

        self.mode("trickle", seconds=2)
        conn = http.client.HTTPSConnection("localhost", self.port, context=self.ctx, timeout=10)
        conn.request("GET", "/slow")
        resp = conn.getresponse()
        promised = int(resp.getheader("Content-Length"))
        with self.assertRaises(http.client.IncompleteRead) as cm:
            resp.read()
        conn.close()
        self.assertTrue(0 < len(cm.exception.partial) < promised)
        self.assertLess(time.monotonic() - start, 10)

    def test_sigterm_stops_promptly_with_a_stalled_request(self):
        proc, port, ready = start_service(self.certdir, self.tmp)
        try:
            # One idle keep-alive connection and one stalled request: neither
            # may hold up the exit.
            idle, stalled = (http.client.HTTPSConnection("localhost", port, context=self.ctx, timeout=30)
                             for _ in range(2))
            idle.request("GET", "/__mode?name=stall")
            idle.getresponse().read()
            stalled.request("GET", "/slow")
            time.sleep(0.3)
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(5), 0)
            self.assertFalse(os.path.exists(ready))
            idle.close()
            stalled.close()
        finally:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    unittest.main()
