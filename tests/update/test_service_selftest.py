"""What the update results rely on unseen: the service keeps to loopback and its slow answers end."""
import http.client
import os
import ssl
import time
import unittest

PORT = int(os.environ.get("NOCTARA_TEST_SERVICE_PORT", "0"))
CA = os.environ.get("NOCTARA_TEST_CA_DIR", "")


@unittest.skipUnless(PORT and CA, "run through scripts/run-tests.sh")
class TestService(unittest.TestCase):
    def get(self, path):
        ctx = ssl.create_default_context(cafile=os.path.join(CA, "ca.pem"))
        conn = http.client.HTTPSConnection("localhost", PORT, context=ctx, timeout=10)
        try:
            conn.request("GET", path)
            return conn.getresponse().read()
        finally:
            conn.close()

    def tearDown(self):
        self.get("/__reset")

    def test_listens_on_loopback_only(self):
        listening = []
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                rows = [line.split() for line in f.readlines()[1:]]
            listening += [r[1] for r in rows if r[3] == "0A" and int(r[1].split(":")[1], 16) == PORT]
        self.assertEqual(listening, ["0100007F:%04X" % PORT])

    def test_stall_and_trickle_end_by_themselves(self):
        for mode, error in (("stall", http.client.RemoteDisconnected), ("trickle", http.client.IncompleteRead)):
            self.get(f"/__mode?name={mode}&seconds=1")
            start = time.monotonic()
            with self.assertRaises(error, msg=mode):
                self.get("/slow")
            self.assertLess(time.monotonic() - start, 5, mode)
