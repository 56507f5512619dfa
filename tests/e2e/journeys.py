#!/usr/bin/env python3
"""What a user does with Noctara, done with the mouse on the real exe in a Wine
prefix of its own and checked from outside it. Environment: scripts/run-tests.sh.

    journeys.py NOCTARA DRIVER WORKDIR [unittest args]

With NOCTARA_E2E_PICTURES=DIR set, the journeys also save the README's pictures.
"""
import glob
import json
import os
import pathlib
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

DESKTOP, WIDTH, HEIGHT = "e2e", 1024, 768
GREEN, GREY = (0x2E, 0x9E, 0x4F), (0x8A, 0x8F, 0x96)  # the icon's fills (tools/make_icons.py)
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
TIP_ACTIVE, TIP_PAUSED = "Noctara v1.2.2 (Ativo)", "Noctara v1.2.2 (Pausado)"
UPDATE_ITEM = "★ Baixar Nova Versão (1.3.0)"
MENU = ["Pausar", "", "Iniciar com Windows", "", "Copiar caminho do .exe", "", "Versão: 1.2.2", "Sair"]
PICTURES = os.environ.get("NOCTARA_E2E_PICTURES")
ARGS = []  # NOCTARA DRIVER WORKDIR


def wait_for(what, probe, timeout=20.0, interval=0.25):
    """Polls probe() until it gives something truthy; after timeout fails, or gives None if what is None."""
    deadline = time.monotonic() + timeout
    while not (value := probe()):
        if time.monotonic() >= deadline:
            if what is None:
                return None
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)
    return value


def item(items, text):
    return next(i for i in items if i["text"] == text)


class Session:
    """A fresh prefix, a virtual desktop with a taskbar on the harness's display, Noctara on it."""

    def __init__(self, noctara, driver, workdir, name):
        self.noctara, self.driver_exe = os.path.abspath(noctara), os.path.abspath(driver)
        self.prefix = os.path.join(os.path.abspath(workdir), f"prefix-{name}")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.processes = []

    def start(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", os.environ["NOCTARA_WINE_TEMPLATE"], self.prefix], check=True)
        # Detached: a server holding our pipes would stall ctest.
        subprocess.run(["wineserver", "-p"], env=self.env, **QUIET, check=True)
        # What the shell opens is written down, not shown in a browser.
        browser = os.path.join(self.prefix, "browser.sh")
        with open(browser, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.prefix}/opened.txt"\n')
        os.chmod(browser, 0o755)
        # Every process lands on the desktop: the driver must share it to see the program's windows.
        with open(os.path.join(self.prefix, "drive_c", "e2e.reg"), "w", encoding="utf-16") as f:
            f.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"
                    f'"Desktop"="{DESKTOP}"\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n'
                    f'"{DESKTOP}"="{WIDTH}x{HEIGHT}"\n\n[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]\n'
                    f'"Browsers"="{browser}"\n')
        # The first Wine process starts the prefix's services: no pipes anybody waits on.
        subprocess.run(["wine", "regedit", "/S", "C:\\e2e.reg"], env=self.env, **QUIET, timeout=120, check=True)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)
        for process in self.processes:
            process.kill()
            process.wait()
        subprocess.run(["wineserver", "-w"], env=self.env, **QUIET, timeout=30)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def spawn(self, *args):
        self.processes.append(subprocess.Popen(["wine", *args], env=self.env, **QUIET))
        return self.processes[-1]

    def wine(self, *args):
        """Exit code and output: a file, not a pipe, which a program it starts would keep open."""
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=60).returncode
            out.seek(0)
            return code, out.read().decode(errors="replace")

    def driver(self, *args):
        code, text = self.wine(self.driver_exe, *args)
        return code, [json.loads(line) for line in text.splitlines() if line.startswith("{")]

    def windows_path(self, path):
        return self.wine("winepath", "-w", path)[1].strip()

    def service(self, path):
        """The local HTTPS test service (scripts/test_service.py)."""
        context = ssl.create_default_context(cafile=os.path.join(os.environ["NOCTARA_TEST_CA_DIR"], "ca.pem"))
        url = f"https://localhost:{os.environ['NOCTARA_TEST_SERVICE_PORT']}{path}"
        with urllib.request.urlopen(url, context=context, timeout=10) as answer:
            return answer.read()

    def reset(self, mode="current"):
        self.service("/__reset")
        self.service(f"/__mode?name={mode}")

    def requests(self):
        return json.loads(self.service("/__log"))

    def launch(self):
        """Starts the virtual desktop with Noctara, as a user's shell would; its window."""
        self.spawn("explorer", f"/desktop={DESKTOP},{WIDTH}x{HEIGHT}", self.noctara)
        window = self.window()
        self.icon()
        return window

    def window(self):
        return wait_for("Noctara's hidden window", lambda: self.driver("window")[1], 30)

    # --- the screen -----------------------------------------------------------
    def corner(self, width, height):
        """Finds the desktop's window (its origin) and gives its bottom-right corner on the screen."""
        def probe():
            found = subprocess.run(["xdotool", "search", "--name", f"^{DESKTOP} - Wine desktop$",
                                    "getwindowgeometry", "--shell", "%@"], capture_output=True, text=True).stdout
            return dict(line.split("=", 1) for line in found.split()) if "X=" in found else None  # the last one
        found = wait_for("the virtual desktop", probe, 30)
        self.origin = x, y = int(found["X"]), int(found["Y"])
        return (x + WIDTH - width, y + HEIGHT - height, x + WIDTH, y + HEIGHT)

    def grab(self, box, *output):
        x0, y0, x1, y1 = box
        return subprocess.run(["import", "-window", "root", "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage",
                               *output], capture_output=True, check=True).stdout

    def find(self, colour, box):
        """The box around the pixels near colour inside box, if 20 or more."""
        rgb, width = self.grab(box, "-depth", "8", "rgb:-"), box[2] - box[0]
        hits = [(i // 3 % width, i // 3 // width) for i in range(0, len(rgb), 3)
                if sum(abs(a - b) for a, b in zip(rgb[i:i + 3], colour)) <= 40]
        if len(hits) < 20:
            return None
        xs, ys = zip(*hits)
        return (box[0] + min(xs), box[1] + min(ys), box[0] + max(xs) + 1, box[1] + max(ys) + 1)

    def picture(self, name, box=None, scale=1):
        if PICTURES:
            self.grab(box or self.corner(400, 300), "-filter", "point", "-resize", f"{scale * 100}%", "-strip",
                      "-define", "png:exclude-chunks=date,time", os.path.join(PICTURES, name))

    def icon(self, colour=GREEN):
        """Waits until the tray shows the icon in colour."""
        self.icon_box = wait_for(f"the tray icon in {colour}", lambda: self.find(colour, self.corner(200, 40)), 30)

    def shows(self, colour):
        """The icon is in colour, not the other."""
        other = GREY if colour == GREEN else GREEN
        return self.find(colour, self.icon_box) and not self.find(other, self.icon_box)

    def tray_empty(self):
        return not self.find(GREEN, self.corner(200, 40)) and not self.find(GREY, self.corner(200, 40))

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], check=True)

    def centre(self):
        x0, y0, x1, y1 = self.icon_box
        return (x0 + x1) // 2, (y0 + y1) // 2

    def click_icon(self, button=1, repeat=1):
        self.xdotool("mousemove", *self.centre(), "click", "--repeat", repeat, "--delay", 60, button)

    def hover_away(self):
        self.xdotool("mousemove", self.origin[0] + 300, self.origin[1] + 300)

    def hover_tip(self, text):
        """Rests the pointer on the icon until the tooltip reads text: it opens on a rest after a move."""
        x, y = self.centre()

        def probe():
            self.xdotool("mousemove", x - 1, y, "mousemove", x, y)
            return wait_for(None, lambda: self.tip(text), 1.5)
        wait_for(f"the tooltip {text!r}", probe, 20, interval=0)

    def tip(self, text=None):
        """A visible tooltip or balloon shows text; without text, any does."""
        texts = [t["text"] for t in self.driver("tips")[1]]
        return bool(texts) if text is None else text in texts

    # --- the menu --------------------------------------------------------------
    def menu(self):
        """Right-clicks the icon; the open menu's items."""
        self.click_icon(button=3)
        return wait_for("the context menu", lambda: self.driver("menu")[1], 20)

    def choose(self, items, text=None):
        """Clicks the item text of the open menu, or with None the bare desktop, which dismisses it."""
        left, top, right, bottom = item(items, text)["rect"] if text else (200, 200, 200, 200)
        # Menu rectangles are desktop coordinates.
        self.xdotool("mousemove", self.origin[0] + (left + right) // 2, self.origin[1] + (top + bottom) // 2,
                     "click", 1)
        wait_for("the menu to close", lambda: not self.driver("menu")[1], 10)


class Journeys(unittest.TestCase):
    def setUp(self):
        self.s = s = Session(*ARGS, self._testMethodName)
        s.reset()
        s.start()
        self.addCleanup(s.reset)
        self.addCleanup(s.stop)

    def test_first_start(self):
        s = self.s
        s.launch()
        wait_for("the update check", s.requests)
        s.hover_tip(TIP_ACTIVE)
        shortcuts = glob.glob(os.path.join(s.prefix, "drive_c/users/*/AppData/Roaming/Microsoft/Windows/"
                                           "Start Menu/Programs/Qorvex Labs/Noctara.lnk"))
        self.assertEqual(len(shortcuts), 1, "the Start-menu shortcut")
        with open(shortcuts[0], "rb") as f:
            link = f.read()
        self.assertTrue(link.startswith(b"L\0\0\0") and b"Noctara.exe" in link, "a shell link to Noctara.exe")

        items = s.menu()
        self.assertEqual([i["text"] for i in items], MENU)
        self.assertTrue(item(items, "Versão: 1.2.2")["grayed"])
        self.assertFalse(item(items, "Iniciar com Windows")["checked"])
        s.picture("menu.png")
        s.choose(items)
        s.hover_away()
        wait_for("the tooltip to close", lambda: not s.tip())
        s.picture("tray-active.png", s.corner(96, 32), 3)

        # Still exactly one request, a while after the first.
        requests = s.requests()
        self.assertEqual([(r["method"], r["path"]) for r in requests], [("GET", "/api/proxy?file=check_update.php")])
        self.assertEqual([v for k, v in requests[0]["headers"] if k.lower() == "user-agent"], ["Noctara/1.2"])

    def test_pause_resume(self):
        s = self.s
        s.launch()
        wait_for("the update check", s.requests)
        s.click_icon(repeat=2)
        wait_for("the paused picture", lambda: s.shows(GREY))
        wait_for("the pause balloon", lambda: s.tip("Pausado. O dispositivo pode dormir."))
        if PICTURES:
            s.hover_away()
            wait_for("the tooltip to close", lambda: not s.tip(TIP_PAUSED))
            s.picture("balloon-paused.png")
        s.hover_tip(TIP_PAUSED)
        for first, colour, balloon, tip in (("Retomar", GREEN, "Ativo! O dispositivo não irá dormir.", TIP_ACTIVE),
                                            ("Pausar", GREY, "Pausado. O dispositivo pode dormir.", TIP_PAUSED)):
            items = s.menu()
            self.assertEqual(items[0]["text"], first)
            s.choose(items, first)
            wait_for(f"the picture after {first}", lambda: s.shows(colour))
            wait_for(f"the balloon after {first}", lambda: s.tip(balloon))
            s.hover_tip(tip)
        if PICTURES:
            s.hover_away()
            wait_for("the tips to close", lambda: not s.tip(), 40)
            s.picture("tray-paused.png", s.corner(96, 32), 3)

    def test_autostart(self):
        s = self.s
        exe = s.windows_path(s.noctara)
        s.launch()

        def run_value():
            code, text = s.wine("reg", "query", RUN_KEY, "/v", "Noctara")
            return next((line.split("REG_SZ", 1)[1].strip() for line in text.splitlines()
                         if code == 0 and line.split()[:2] == ["Noctara", "REG_SZ"]), None)
        self.assertIsNone(run_value())
        for checked, value, confirmation in ((False, f'"{exe}"', "Iniciará com o Windows."),
                                             (True, None, "Removido da inicialização com o Windows.")):
            items = s.menu()
            self.assertEqual(item(items, "Iniciar com Windows")["checked"], checked)
            s.choose(items, "Iniciar com Windows")
            wait_for(f"the Run value {value}", lambda: run_value() == value)
            wait_for("the confirmation", lambda: s.tip(confirmation))
        items = s.menu()
        self.assertFalse(item(items, "Iniciar com Windows")["checked"])
        s.choose(items)

    def test_copy_path(self):
        s = self.s
        exe = s.windows_path(s.noctara)
        s.launch()
        self.assertEqual(s.driver("clip", "something the user had copied")[0], 0)
        s.choose(s.menu(), "Copiar caminho do .exe")
        wait_for("the path on the clipboard", lambda: s.driver("clip")[1] == [{"text": exe}])
        wait_for("the confirmation", lambda: s.tip("Caminho copiado."))

    def test_update_offer(self):
        s = self.s
        s.reset("newer")
        s.launch()
        wait_for("the update balloon", lambda: s.tip("Nova versão disponível! Clique para baixar."))
        s.picture("balloon-update.png")
        if PICTURES:  # the menu's picture without the balloon behind it
            wait_for("the balloon to close", lambda: not s.tip(), 40)
        items = s.menu()
        self.assertEqual([i["text"] for i in items], MENU[:4] + [UPDATE_ITEM, ""] + MENU[4:])
        s.picture("menu-update.png")
        s.choose(items, UPDATE_ITEM)
        opened = pathlib.Path(s.prefix, "opened.txt")  # by the browser the shell starts
        address = wait_for("the shell to open the address", lambda: opened.exists() and opened.read_text().split())
        self.assertEqual(address, ["https://localhost/dl/Noctara-1.3.0.zip"])

    def test_exit_paths(self):
        s = self.s
        first = s.launch()
        # Started on its own wine process, its exit code is the program's.
        self.assertEqual(s.spawn(s.noctara).wait(timeout=30), 0, "a second start ends at once")
        self.assertEqual(s.window(), first)
        s.choose(s.menu(), "Sair")
        wait_for("the icon to go", s.tray_empty)
        wait_for("the program to end", lambda: s.driver("window")[0] != 0)
        for close in (lambda: s.choose(s.menu(), "Sair"), lambda: s.driver("post", "0x0010")):  # WM_CLOSE
            process = s.spawn(s.noctara)
            s.window()
            s.icon()
            close()
            self.assertEqual(process.wait(timeout=30), 0)
            wait_for("the icon to go", s.tray_empty)

    def test_shell_restart(self):
        # Wine 8 cannot restart a busy desktop's shell: it forgets the icon, then "TaskbarCreated" comes.
        s = self.s
        s.launch()
        for colour, other in ((GREEN, GREY), (GREY, GREEN)):
            self.assertEqual(s.driver("forget-icon")[0], 0)
            wait_for("the shell to lose the icon", s.tray_empty)
            self.assertEqual(s.driver("post", "TaskbarCreated")[0], 0)
            s.icon(colour)
            self.assertTrue(s.shows(colour))
            s.driver("post", "0x0111", "40001")  # WM_COMMAND toggle: the next round expects the other picture
            wait_for("the picture to change", lambda: s.shows(other))


if __name__ == "__main__":
    ARGS[:] = sys.argv[1:4]
    os.makedirs(ARGS[2], exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[4:]])
