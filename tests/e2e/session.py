"""One Wine session for the end-to-end journeys: a fresh prefix of its own, a
virtual desktop with a taskbar on the harness's display, the real Noctara.exe
on it, and the means to act as a user (xdotool) and to look at the results
from outside (screenshots, the driver exe, `wine reg`, the test service).

Environment (set by scripts/run-tests.sh): DISPLAY, NOCTARA_WINE_TEMPLATE,
NOCTARA_TEST_CA_DIR, NOCTARA_TEST_SERVICE_PORT.
"""
import glob
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import time
import urllib.request

DESKTOP = "e2e"
DESKTOP_SIZE = (1024, 768)
# The tray icon's fill colours (tools/make_icons.py).
GREEN = (0x2E, 0x9E, 0x4F)
GREY = (0x8A, 0x8F, 0x96)
DEVNULL = subprocess.DEVNULL


def wait_for(what, probe, timeout=20.0, interval=0.25):
    """Polls probe() until it returns something truthy; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


class Image:
    """An RGB picture read from a binary PPM."""

    def __init__(self, ppm: bytes):
        fields, pos = [], 0
        while len(fields) < 4:
            while ppm[pos:pos + 1].isspace():
                pos += 1
            if ppm[pos:pos + 1] == b"#":
                pos = ppm.index(b"\n", pos)
                continue
            end = pos
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[pos:end])
            pos = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise ValueError("not an 8-bit binary PPM")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = ppm[pos + 1:pos + 1 + 3 * self.width * self.height]

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.data[i:i + 3])

    def find(self, colour, box, tolerance=40):
        """Bounding box (x0, y0, x1, y1, count) of pixels near colour in box."""
        x0, y0, x1, y1 = box
        hits = [(x, y) for y in range(max(0, y0), min(self.height, y1))
                for x in range(max(0, x0), min(self.width, x1))
                if sum(abs(a - b) for a, b in zip(self.pixel(x, y), colour)) <= tolerance]
        if not hits:
            return None
        xs = [x for x, _ in hits]
        ys = [y for _, y in hits]
        return (min(xs), min(ys), max(xs) + 1, max(ys) + 1, len(hits))


class Service:
    """The local HTTPS test service (scripts/test_service.py)."""

    def __init__(self):
        self.port = int(os.environ["NOCTARA_TEST_SERVICE_PORT"])
        self.context = ssl.create_default_context(
            cafile=os.path.join(os.environ["NOCTARA_TEST_CA_DIR"], "ca.pem"))

    def get(self, path):
        url = f"https://localhost:{self.port}{path}"
        with urllib.request.urlopen(url, context=self.context, timeout=10) as answer:
            return answer.read()

    def reset(self, mode="current", seconds=None):
        self.get("/__reset")
        extra = f"&seconds={seconds}" if seconds is not None else ""
        self.get(f"/__mode?name={mode}{extra}")

    def log(self):
        return json.loads(self.get("/__log"))


class Session:
    def __init__(self, noctara, driver, workdir, name):
        self.noctara = os.path.abspath(noctara)
        self.driver_exe = os.path.abspath(driver)
        self.prefix = os.path.join(os.path.abspath(workdir), f"prefix-{name}")
        self.opened_file = os.path.join(os.path.abspath(workdir), f"opened-{name}.txt")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.service = Service()
        self.desktop_id = None
        self.processes = []

    # --- the prefix and its wineserver -------------------------------------
    def start(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", os.environ["NOCTARA_WINE_TEMPLATE"], self.prefix], check=True)
        # Detached from our pipes: a server holding them would stall ctest.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=DEVNULL, stdout=DEVNULL,
                       stderr=DEVNULL, check=True)
        recorder = self.opened_file[:-len(".txt")] + ".sh"
        with open(recorder, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.opened_file}"\n')
        os.chmod(recorder, 0o755)
        try:
            os.unlink(self.opened_file)
        except FileNotFoundError:
            pass
        # Every process of the prefix lands on the virtual desktop (the
        # driver must share it to see the program's windows), and what the
        # shell opens is written down instead of shown in a browser.
        reg = os.path.join(self.prefix, "drive_c", "e2e.reg")
        with open(reg, "w", encoding="utf-16") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"
                    f'"Desktop"="{DESKTOP}"\r\n\r\n'
                    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"
                    f'"{DESKTOP}"="{DESKTOP_SIZE[0]}x{DESKTOP_SIZE[1]}"\r\n\r\n'
                    "[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]\r\n"
                    f'"Browsers"="{recorder}"\r\n\r\n')
        # Also the first Wine process: it starts the prefix's services, which
        # must not inherit pipes that somebody waits on.
        subprocess.run(["wine", "regedit", "/S", "C:\\e2e.reg"], env=self.env, stdin=DEVNULL,
                       stdout=DEVNULL, stderr=DEVNULL, timeout=120, check=True)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=DEVNULL, stdout=DEVNULL,
                       stderr=DEVNULL)
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        subprocess.run(["wineserver", "-w"], env=self.env, stdin=DEVNULL, stdout=DEVNULL,
                       stderr=DEVNULL, timeout=30)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def wine(self, *args, timeout=60):
        return subprocess.run(["wine", *args], env=self.env, stdin=DEVNULL, capture_output=True,
                              timeout=timeout)

    def spawn(self, *args):
        process = subprocess.Popen(["wine", *args], env=self.env, stdin=DEVNULL, stdout=DEVNULL,
                                   stderr=DEVNULL)
        self.processes.append(process)
        return process

    def windows_path(self, unix_path):
        return self.wine("winepath", "-w", unix_path).stdout.decode().strip()

    # --- the program --------------------------------------------------------
    def launch_on_desktop(self):
        """Starts the virtual desktop with Noctara, as a user's shell would."""
        self.spawn("explorer", f"/desktop={DESKTOP},{DESKTOP_SIZE[0]}x{DESKTOP_SIZE[1]}", self.noctara)
        self.window()
        return self.icon()

    def launch_direct(self):
        """Starts Noctara with its own wine process, whose exit code is the program's."""
        return self.spawn(self.noctara)

    def driver(self, *args, timeout=30):
        """Runs the driver; (exit code, list of the JSON lines it printed)."""
        # A file, not a pipe: a program the driver starts inherits its output
        # and would keep a pipe open for as long as it runs.
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(["wine", self.driver_exe, *args], env=self.env, stdin=DEVNULL, stdout=out,
                                  stderr=DEVNULL, timeout=timeout)
            out.seek(0)
            text = out.read().decode()
        lines = [json.loads(line) for line in text.splitlines() if line.startswith("{")]
        return done.returncode, lines

    def window(self, timeout=30):
        """The hidden window: {"hwnd", "pid"}."""
        def probe():
            code, lines = self.driver("window")
            return lines[0] if code == 0 and lines else None
        return wait_for("Noctara's hidden window", probe, timeout)

    def has_window(self):
        code, _ = self.driver("window")
        return code == 0

    def command(self, command_id):
        code, _ = self.driver("post", "0x0111", str(command_id))  # WM_COMMAND
        assert code == 0, "could not post to Noctara's window"

    # --- the screen ---------------------------------------------------------
    def desktop(self, timeout=30):
        """X id of the virtual desktop's window and its origin on the screen."""
        def probe():
            found = subprocess.run(["xdotool", "search", "--name", f"^{DESKTOP} - Wine desktop$"],
                                   capture_output=True, text=True)
            ids = found.stdout.split()
            return ids[-1] if found.returncode == 0 and ids else None
        self.desktop_id = wait_for("the virtual desktop", probe, timeout)
        info = subprocess.run(["xwininfo", "-id", self.desktop_id], capture_output=True, text=True).stdout
        fields = dict(line.strip().split(":", 1) for line in info.splitlines() if ":" in line)
        self.origin = (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]))
        return self.desktop_id

    def screenshot(self):
        if self.desktop_id is None:
            self.desktop()
        shot = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], capture_output=True)
        if shot.returncode != 0:
            raise AssertionError(f"import failed: {shot.stderr.decode()}")
        image = Image(shot.stdout)
        return image

    def tray_box(self):
        """The notification-area strip, in screen coordinates."""
        x, y = self.origin
        w, h = DESKTOP_SIZE
        return (x + w - 200, y + h - 40, x + w, y + h)

    def icon(self, colour=GREEN, timeout=30):
        """Waits until the icon shows in the tray with colour; its box on the screen."""
        def probe():
            self.desktop()
            found = self.screenshot().find(colour, self.tray_box())
            return found if found and found[4] >= 20 else None
        box = wait_for(f"the tray icon in {colour}", probe, timeout)
        self.icon_box = box[:4]
        return self.icon_box

    def icon_shows(self, colour):
        found = self.screenshot().find(colour, self.icon_box)
        return bool(found and found[4] >= 20)

    def icon_centre(self):
        x0, y0, x1, y1 = self.icon_box
        return ((x0 + x1) // 2, (y0 + y1) // 2)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], check=True)

    def click_icon(self, button=1, repeat=1):
        x, y = self.icon_centre()
        self.xdotool("mousemove", x, y)
        self.xdotool("click", "--repeat", repeat, "--delay", 60, button)

    def hover_away(self):
        x, y = self.origin
        self.xdotool("mousemove", x + 300, y + 300)

    def icon_picture_box(self):
        """The notification area around the icon, for a close-up."""
        x, y = self.origin
        w, h = DESKTOP_SIZE
        return (x + w - 96, y + h - 32, x + w, y + h)

    def tray_is_empty(self):
        image = self.screenshot()
        box = self.tray_box()
        return image.find(GREEN, box) is None and image.find(GREY, box) is None

    def save_picture(self, path, box=None, scale=None):
        """Saves the bottom-right 400x300 of the desktop (or box) as a PNG."""
        x, y = self.origin
        w, h = DESKTOP_SIZE
        if box is None:
            box = (x + w - 400, y + h - 300, x + w, y + h)
        x0, y0, x1, y1 = box
        resize = ["-scale", f"{scale * 100}%"] if scale else []
        screen = subprocess.run(["import", "-window", "root", "miff:-"], capture_output=True, check=True).stdout
        subprocess.run(["/usr/bin/convert", "miff:-", "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage",
                        *resize, "-strip", "-define", "png:exclude-chunks=date,time", path],
                       input=screen, check=True)

    # --- the menu -----------------------------------------------------------
    def open_menu(self, timeout=20):
        """Right-clicks the icon and reads the open menu: (header, items)."""
        def probe():
            code, lines = self.driver("menu")
            return lines if code == 0 and len(lines) > 1 else None
        self.click_icon(button=3)
        lines = wait_for("the context menu", probe, timeout)
        return lines[0], lines[1:]

    def menu_closed(self):
        code, lines = self.driver("menu")
        return code != 0 and not lines

    def choose(self, items, text):
        """Clicks the menu item whose text is text (the menu must be open)."""
        item = next((i for i in items if i["text"] == text), None)
        assert item is not None, f"no menu item {text!r} in {[i['text'] for i in items]}"
        left, top, right, bottom = item["rect"]
        # Menu rectangles are desktop coordinates; the desktop sits at origin.
        self.xdotool("mousemove", self.origin[0] + (left + right) // 2, self.origin[1] + (top + bottom) // 2)
        self.xdotool("click", 1)
        wait_for("the menu to close", self.menu_closed, 10)

    def close_menu(self):
        # A click on the bare desktop dismisses it, as it would for a user.
        self.xdotool("mousemove", self.origin[0] + 200, self.origin[1] + 200)
        self.xdotool("click", 1)
        wait_for("the menu to close", self.menu_closed, 10)

    # --- the shell's windows --------------------------------------------------
    def tips(self):
        _, lines = self.driver("tips")
        return lines

    # --- registry and files -------------------------------------------------
    def reg_query(self, key, name):
        """The value's data as `reg query` prints it, or None when absent."""
        done = self.wine("reg", "query", key, "/v", name)
        if done.returncode != 0:
            return None
        for line in done.stdout.decode(errors="replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[2] if len(parts) > 2 else ""
        return None

    def shortcut_paths(self):
        pattern = os.path.join(self.prefix, "drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start Menu/"
                               "Programs/Qorvex Labs/Noctara.lnk")
        return glob.glob(pattern)

    def opened(self):
        try:
            with open(self.opened_file) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []
