"""The Wine harness of the tests, the benchmarks and the pictures: a virtual
display, a booted template prefix per build folder and throw-away copies of
it, the local update service (service.py) with its certificate trusted, the
service's answers, and sessions on a virtual desktop with a taskbar.

Python tools use it as a module (with scripts/lib on PYTHONPATH). As a
command it runs another one inside a prepared prefix, with DISPLAY,
WINEPREFIX and HARNESS_DIR set, and ends all it started when that one ends:

    python3 -m harness BUILD --prefix NAME [--keep] [--offer VERSION] [--scaled NAME] -- COMMAND...

--keep makes the prefix once and keeps it between runs, like a user's
profile; --offer makes the service offer that version; --scaled makes one
more fresh prefix whose display runs at 150 %, left for its tests to start.
"""
import argparse
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.request

QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
LIB = os.path.dirname(os.path.abspath(__file__))
WIDTH, HEIGHT = 1024, 768

# The program as the tools drive it: its window and two menu commands.
WINDOW_CLASS = "NoctaraTrayHiddenWindowClass"
WM_CLOSE = 0x0010
WM_COMMAND = 0x0111
TOGGLE_ACTIVE = 40001
EXIT = 40006


def log(message):
    print(f"[harness] {message}", file=sys.stderr)


def wait_for(what, probe, timeout=30):
    """probe's first true value, polled until timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while not (value := probe()):
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.2)
    return value


def succeeds(*command):
    return subprocess.run(command, **QUIET).returncode == 0


def service_port(build):
    """The port of the build's update authority, which its own service listens on."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return re.search(r"^NOCTARA_UPDATE_AUTHORITY:\w+=.*:(\d+)$", f.read(), re.M).group(1)


def own_version(build):
    """The build's version: an offer of it offers nothing."""
    with open(os.path.join(build, "generated", "app", "version.h")) as f:
        return re.search(r'^#define NOCTARA_VERSION L"([^"]+)"', f.read(), re.M).group(1)


def newer_version(version):
    """The next minor version after version."""
    major, minor = version.split(".")[:2]
    return f"{major}.{int(minor) + 1}.0"


def offer(version):
    """The service's answer that offers version."""
    return json.dumps({"latest_version": version, "download_url": f"https://localhost/dl/Noctara-{version}.zip"},
                      separators=(",", ":"))


class Harness:
    """One build folder's display, template prefix and update service, for
    the length of a with block."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.dir = os.path.join(self.build, "wine")
        self.template = os.path.join(self.dir, "template")
        self.service_dir = os.path.join(self.dir, "service")
        self.port = service_port(self.build)
        self.children = []
        self.prefixes = []
        os.makedirs(self.service_dir, exist_ok=True)
        os.environ.update(WINEDEBUG="-all", HARNESS_DIR=self.dir,
                          # No Mono or Gecko install prompts in a fresh prefix.
                          WINEDLLOVERRIDES="mscoree,mshtml=",
                          # The menu entries and icons Wine makes for the
                          # program's shortcut stay in the build folder, not
                          # in the user's desktop.
                          XDG_DATA_HOME=os.path.join(self.dir, "xdg", "data"),
                          XDG_CONFIG_HOME=os.path.join(self.dir, "xdg", "config"))

    def __enter__(self):
        try:
            self.display()
            self.boot_template()
            self.start_service()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exception):
        self.close()

    def close(self):
        for prefix in list(self.prefixes):
            self.stop_wine(prefix)
        for child in self.children:
            child.terminate()
        for child in self.children:
            child.wait()

    def display(self):
        """Xvfb, unless a display is already usable."""
        if os.environ.get("DISPLAY") and succeeds("xdpyinfo"):
            return
        free = (n for n in range(90, 141) if not any(map(os.path.exists, (f"/tmp/.X{n}-lock", f"/tmp/.X11-unix/X{n}"))))
        display = f":{next(free)}"
        with open(os.path.join(self.dir, "xvfb.log"), "w") as out:
            self.children.append(subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT))
        os.environ["DISPLAY"] = display
        wait_for("Xvfb", lambda: succeeds("xdpyinfo"), 20)

    def boot_template(self):
        """A booted prefix, made once per build folder; copies of it are cheap."""
        if os.path.isfile(os.path.join(self.template, ".booted")):
            return
        log("booting a Wine prefix (once per build folder)")
        shutil.rmtree(self.template, ignore_errors=True)
        env = dict(os.environ, WINEPREFIX=self.template)
        subprocess.run(["wineboot", "-u"], env=env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=env)
        open(os.path.join(self.template, ".booted"), "w").close()

    def fresh_prefix(self, prefix, dpi=None):
        """A copy of the template; with dpi, its display runs at that many
        dots per inch (144: 150 %), set before its Wine starts."""
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", self.template, prefix], check=True)
        os.remove(os.path.join(prefix, ".booted"))
        if dpi:
            user = os.path.join(prefix, "user.reg")
            with open(user) as f:
                lines = f.read().splitlines(keepends=True)
            with open(user, "w") as f:
                for line in lines:
                    f.write(line)
                    if line.startswith("[Control Panel\\\\Desktop] "):
                        f.write(f'"LogPixels"=dword:{dpi:08x}\n')

    def start_wine(self, prefix):
        """The prefix's wineserver and services, detached from our pipes: a
        server started with ctest's pipes attached would hold them for ever."""
        env = dict(os.environ, WINEPREFIX=prefix)
        subprocess.run(["wineserver", "-p"], env=env, **QUIET, check=True)
        subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=env, **QUIET)
        self.prefixes.append(prefix)

    def hold_desktop(self, prefix):
        """A console left waiting for input that never comes keeps Wine's
        desktop: without one, the desktop process ends soon after each
        program does, and the next program waits about a second for a new
        one. It ends with the prefix's Wine."""
        env = dict(os.environ, WINEPREFIX=prefix)
        self.children.append(subprocess.Popen(["wine", "cmd"], env=env, stdin=subprocess.PIPE,
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def stop_wine(self, prefix):
        if prefix in self.prefixes:
            self.prefixes.remove(prefix)
        env = dict(os.environ, WINEPREFIX=prefix)
        subprocess.run(["wineserver", "-k"], env=env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=env, **QUIET, timeout=60)

    def start_service(self):
        """service.py on the build's port, with a self-signed certificate for
        localhost that the template prefix, so every copy, trusts."""
        cert = os.path.join(self.service_dir, "cert.pem")
        if not succeeds("openssl", "x509", "-in", cert, "-noout", "-checkend", "86400"):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                            "-days", "30", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                            "-keyout", os.path.join(self.service_dir, "key.pem"), "-out", cert], **QUIET, check=True)
        trust = os.path.join(self.service_dir, "trust.reg")
        if os.path.exists(trust):
            os.remove(trust)
        with open(os.path.join(self.service_dir, "log"), "w") as out:
            self.children.append(subprocess.Popen([sys.executable, os.path.join(LIB, "service.py"), self.port,
                                                   self.service_dir], stdin=subprocess.DEVNULL, stdout=out,
                                                  stderr=subprocess.STDOUT))
        wait_for("the update service", lambda: os.path.isfile(trust), 20)
        self.tls = ssl.create_default_context(cafile=cert)
        self.trust(self.template)
        log(f"the update service listens on localhost:{self.port}")

    def trust(self, prefix):
        """The service's current certificate trusted in prefix. The imported
        file stays there as the record of what it trusts."""
        source = os.path.join(self.service_dir, "trust.reg")
        copy = os.path.join(prefix, "drive_c", "trust.reg")
        if os.path.exists(copy) and open(copy, "rb").read() == open(source, "rb").read():
            return
        shutil.copyfile(source, copy)
        env = dict(os.environ, WINEPREFIX=prefix)
        subprocess.run(["wine", "reg", "import", "C:\\trust.reg"], env=env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=env)

    def service(self, path, body=None):
        address = f"https://localhost:{self.port}{path}"
        data = body.encode("latin-1") if body is not None else None
        with urllib.request.urlopen(address, data=data, context=self.tls, timeout=10) as answer:
            return answer.read().decode("latin-1")

    def answer(self, status, how, body):
        """Later update checks get this answer (service.py says how); the request log starts anew."""
        self.service("/answer", f"{status} {how} {body}")

    def requests(self):
        """The update requests since the last answer was set, as logged."""
        return self.service("/log")


class Session:
    """A throw-away prefix on a virtual desktop with a taskbar, and the probe
    (bench/probe.cpp) that starts, finds and prods programs inside it."""

    def __init__(self, harness, name):
        self.harness = harness
        self.desktop = name
        self.prefix = os.path.join(harness.dir, f"prefix-{name}")
        self.env = dict(os.environ, WINEPREFIX=self.prefix)
        self.probe_exe = os.path.join(harness.build, "bench", "probe.exe")

    def start(self):
        self.harness.fresh_prefix(self.prefix)
        self.harness.start_wine(self.prefix)
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
        self.harness.stop_wine(self.prefix)
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

    def command(self, command):
        """Noctara's menu command, posted as the menu would."""
        self.probe(WINDOW_CLASS, "post", WM_COMMAND, command)

    def windows_path(self, path):
        return self.wine("winepath", "-w", path)[1].strip()

    def origin(self):
        """The top-left corner of the virtual desktop on the X screen, once it is up."""
        found = subprocess.run(["xdotool", "search", "--name", f"^{self.desktop} - Wine desktop$",
                                "getwindowgeometry", "--shell", "%@"], capture_output=True, text=True).stdout
        position = dict(line.split("=") for line in found.split() if line[0] in "XY")
        return position and (int(position["X"]), int(position["Y"]))

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


def main():
    parser = argparse.ArgumentParser(prog="python3 -m harness", usage=__doc__.split("\n\n")[2].strip())
    parser.add_argument("build")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--offer")
    parser.add_argument("--scaled", help="one more fresh prefix of that name, its display at 150 %%")
    if "--" not in sys.argv:
        parser.error("the command goes after --")
    split = sys.argv.index("--")
    args = parser.parse_args(sys.argv[1:split])
    command = sys.argv[split + 1:]
    # Ended like Ctrl-C: the with block ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        with Harness(args.build) as harness:
            prefix = os.path.join(harness.dir, args.prefix)
            if args.keep and os.path.isdir(prefix):
                harness.trust(prefix)  # the service's certificate is renewed now and then
            else:
                harness.fresh_prefix(prefix)
            if args.offer:
                harness.answer(200, "whole", offer(args.offer))
                log(f"the update service offers {args.offer}")
            harness.start_wine(prefix)
            harness.hold_desktop(prefix)
            if args.scaled:
                # Made, not started: its Wine running beside the first one's
                # on the same display makes every test a second slower. Its
                # one test starts it; it is stopped at the end like the rest.
                scaled = os.path.join(harness.dir, args.scaled)
                harness.fresh_prefix(scaled, dpi=144)
                harness.prefixes.append(scaled)
            sys.exit(subprocess.run(command, env=dict(os.environ, WINEPREFIX=prefix)).returncode)
    except KeyboardInterrupt:
        sys.exit(130)


if __name__ == "__main__":
    main()
