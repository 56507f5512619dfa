"""One Wine session on a virtual desktop with a taskbar, for the footprint
benchmark and the screenshots: a throw-away copy of the template prefix, the
probe (bench/probe.cpp) to start, find and prod programs inside it, and the
update service that scripts/lib/harness.sh and scripts/lib/service.sh
started for the build (HARNESS_DIR in the environment).
"""
import json
import os
import re
import shutil
import ssl
import subprocess
import tempfile
import time
import urllib.request

QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
WIDTH, HEIGHT = 1024, 768


def wait_for(what, probe, timeout=30):
    """probe's first true value, polled until timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while not (value := probe()):
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.2)
    return value


class Session:
    def __init__(self, build, name):
        self.build = build
        self.harness = os.environ["HARNESS_DIR"]
        self.desktop = name
        self.prefix = os.path.join(self.harness, f"prefix-{name}")
        self.env = dict(os.environ, WINEPREFIX=self.prefix)
        self.probe_exe = os.path.join(build, "bench", "probe.exe")
        cache = open(os.path.join(build, "CMakeCache.txt")).read()
        self.port = re.search(r"^NOCTARA_UPDATE_AUTHORITY:\w+=.*:(\d+)$", cache, re.M).group(1)
        self.tls = ssl.create_default_context(cafile=os.path.join(self.harness, "service", "cert.pem"))

    def start(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", os.path.join(self.harness, "template"), self.prefix], check=True)
        # Detached from our pipes, which it would otherwise hold for its whole life.
        subprocess.run(["wineserver", "-p"], env=self.env, **QUIET, check=True)
        # Every program of the prefix, the probe too, joins the one desktop.
        key = "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer"
        reg = os.path.join(self.prefix, "drive_c", "desktop.reg")
        with open(reg, "w", encoding="utf-16") as f:
            f.write(f'Windows Registry Editor Version 5.00\n\n{key}]\n"Desktop"="{self.desktop}"\n\n'
                    f'{key}\\Desktops]\n"{self.desktop}"="{WIDTH}x{HEIGHT}"\n')
        self.wine("regedit", "/S", "C:\\desktop.reg")
        # The desktop and its taskbar come up with a program that ends at once.
        self.spawn("explorer", f"/desktop={self.desktop},{WIDTH}x{HEIGHT}", "cmd", "/c", "exit")
        wait_for("the virtual desktop", self.origin, 60)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env, **QUIET, timeout=60)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def spawn(self, *args):
        return subprocess.Popen(["wine", *args], env=self.env, **QUIET)

    def wine(self, *args):
        """(exit code, stdout) of a Windows program run to its end."""
        # A file, not a pipe: a program it starts would keep a pipe open.
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=120).returncode
            out.seek(0)
            return code, out.read().decode("utf-8", errors="replace")

    def probe(self, window_class, *args):
        """(exit code, the JSON objects it printed)."""
        code, text = self.wine(self.probe_exe, window_class, *map(str, args))
        return code, [json.loads(line) for line in text.splitlines() if line.startswith("{")]

    def windows_path(self, path):
        return self.wine("winepath", "-w", path)[1].strip()

    def origin(self):
        """The top-left corner of the virtual desktop on the X screen, once it is up."""
        found = subprocess.run(["xdotool", "search", "--name", f"^{self.desktop} - Wine desktop$",
                                "getwindowgeometry", "--shell", "%@"], capture_output=True, text=True).stdout
        position = dict(line.split("=") for line in found.split() if line[0] in "XY")
        return position and (int(position["X"]), int(position["Y"]))

    def service(self, path, body=None):
        address = f"https://localhost:{self.port}{path}"
        data = body.encode("latin-1") if body is not None else None
        with urllib.request.urlopen(address, data=data, context=self.tls, timeout=10) as answer:
            return answer.read().decode("latin-1")

    def answer(self, status, how, body):
        """Later update checks get this answer; the request log starts anew."""
        self.service("/answer", f"{status} {how} {body}")

    def requests(self):
        """The update requests since the last answer was set, as logged."""
        return self.service("/log")

    def unix_pid(self, exe):
        """The Linux process that runs the Windows program exe in this prefix."""
        name = os.path.basename(exe).lower()
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    program = f.read().split(b"\0")[0].decode(errors="replace")
                with open(f"/proc/{entry}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if re.split(r"[\\/]", program)[-1].lower() == name and f"WINEPREFIX={self.prefix}".encode() in environ:
                return int(entry)
        return None
