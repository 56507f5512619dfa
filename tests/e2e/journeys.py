#!/usr/bin/env python3
# journeys.py NOCTARA DRIVER WORKDIR [unittest args]; with NOCTARA_E2E_PICTURES=DIR it also saves the README's pictures.
import glob, json, os, pathlib, shutil, ssl, subprocess, sys, tempfile, time, unittest, urllib.request  # noqa: E401

DESKTOP, WIDTH, HEIGHT = "e2e", 1024, 768
GREEN, GREY = (0x2E, 0x9E, 0x4F), (0x8A, 0x8F, 0x96)  # the icon's fills (tools/make_icons.py)
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
PICTURES, ARGS = os.environ.get("NOCTARA_E2E_PICTURES"), []


def wait_for(what, probe, timeout=20):
    deadline = time.monotonic() + timeout
    while not (value := probe()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.25)
    return value


class Session:
    def __init__(self, noctara, driver, workdir, name):
        self.noctara, self.driver_exe = os.path.abspath(noctara), os.path.abspath(driver)
        self.prefix = os.path.join(os.path.abspath(workdir), f"prefix-{name}")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def start(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", os.environ["NOCTARA_WINE_TEMPLATE"], self.prefix], check=True)
        subprocess.run(["wineserver", "-p"], env=self.env, **QUIET, check=True)  # detached: ours would hold the pipes
        browser = pathlib.Path(self.prefix, "browser.sh")  # what the shell opens is written down
        browser.write_text(f'#!/bin/sh\necho "$1" >> "{self.prefix}/opened.txt"\n')
        browser.chmod(0o755)
        key = "[HKEY_CURRENT_USER\\Software\\Wine\\"  # every process on the desktop, where the driver sees them
        pathlib.Path(self.prefix, "drive_c", "e2e.reg").write_text(
            f'Windows Registry Editor Version 5.00\n\n{key}Explorer]\n"Desktop"="{DESKTOP}"\n\n{key}Explorer\\Desktops]'
            f'\n"{DESKTOP}"="{WIDTH}x{HEIGHT}"\n\n{key}WineBrowser]\n"Browsers"="{browser}"\n', encoding="utf-16")
        subprocess.run(["wine", "regedit", "/S", "C:\\e2e.reg"], env=self.env, **QUIET, timeout=120, check=True)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env, **QUIET, timeout=30)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def spawn(self, *args):
        return subprocess.Popen(["wine", *args], env=self.env, **QUIET)

    def wine(self, *args):
        with tempfile.TemporaryFile() as out:  # not a pipe, which a program it starts would keep open
            code = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=60).returncode
            return code, out.seek(0) or out.read().decode(errors="replace")

    def driver(self, *args):
        code, text = self.wine(self.driver_exe, *args)
        return code, [json.loads(line) for line in text.splitlines() if line.startswith("{")]

    def service(self, path):  # scripts/test_service.py
        context = ssl.create_default_context(cafile=os.path.join(os.environ["NOCTARA_TEST_CA_DIR"], "ca.pem"))
        with urllib.request.urlopen(f"https://localhost:{os.environ['NOCTARA_TEST_SERVICE_PORT']}{path}",
                                    context=context, timeout=10) as answer:
            return answer.read()

    def reset(self, mode="current"):
        self.service("/__reset"), self.service(f"/__mode?name={mode}")

    def requests(self):
        return json.loads(self.service("/__log"))

    def corner(self, width, height):  # the bottom-right corner of the virtual desktop on the screen
        found = wait_for("the virtual desktop", lambda: subprocess.run(
            ["xdotool", "search", "--name", f"^{DESKTOP} - Wine desktop$", "getwindowgeometry", "--shell", "%@"],
            capture_output=True, text=True).stdout.split())
        self.origin = x, y = [int(v.split("=")[1]) for v in found if v[0] in "XY"][-2:]
        return (x + WIDTH - width, y + HEIGHT - height, x + WIDTH, y + HEIGHT)

    def grab(self, box, *output):
        x0, y0, x1, y1 = box
        return subprocess.run(["import", "-window", "root", "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage",
                               *output], capture_output=True, check=True).stdout

    def find(self, colour, box=None):  # the box around the pixels near colour inside box (the tray), if 20 or more
        box = box or self.corner(200, 40)
        rgb, width = self.grab(box, "-depth", "8", "rgb:-"), box[2] - box[0]
        hits = [(i // 3 % width, i // 3 // width) for i in range(0, len(rgb), 3)
                if sum(abs(a - b) for a, b in zip(rgb[i:i + 3], colour)) <= 40]
        xs, ys = zip(*hits) if len(hits) >= 20 else ((), ())
        return xs and (box[0] + min(xs), box[1] + min(ys), box[0] + max(xs) + 1, box[1] + max(ys) + 1)

    def picture(self, name, box=None, scale=1, hide=False):
        if PICTURES and (not hide or wait_for("the tips to close", lambda: not self.tips(), 40)):
            self.grab(box or self.corner(400, 300), "-filter", "point", "-resize", f"{scale * 100}%", "-strip",
                      "-define", "png:exclude-chunks=date,time", os.path.join(PICTURES, name))

    def icon(self, colour=GREEN):  # waits until the tray shows the icon in colour, and not in the other
        other = GREY if colour == GREEN else GREEN
        self.box = wait_for(f"the tray icon in {colour}", lambda: not self.find(other) and self.find(colour), 30)

    def tray_empty(self):
        return not self.find(GREEN) and not self.find(GREY)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], check=True)

    def click_icon(self, button=1, repeat=1):
        x, y = (self.box[0] + self.box[2]) // 2, (self.box[1] + self.box[3]) // 2
        self.xdotool("mousemove", x, y, "click", "--repeat", repeat, "--delay", 60, button)

    def hover_tip(self, text):  # a tooltip opens on a rest after a move
        wait_for(f"the tooltip {text!r}", lambda: self.xdotool("mousemove", self.box[0] - 5, self.box[1]) or
                 self.xdotool("mousemove", self.box[0] + 4, self.box[1] + 4) or
                 any(text in self.tips() or time.sleep(0.25) for _ in range(6)))

    def tips(self):  # the texts of the visible tooltips and balloons
        return [t["text"] for t in self.driver("tips")[1]]

    def menu(self):
        self.click_icon(button=3)
        return wait_for("the context menu", self.items)

    def items(self):  # the open menu, written down by the probe inside Noctara
        menu = pathlib.Path(self.prefix, "drive_c", "e2e-menu.txt")
        return self.driver("menu")[0] == 0 and [json.loads(line) for line in menu.read_text("utf-8").splitlines()]

    def choose(self, items, text=None):  # clicks the item text, or with None the bare desktop
        x0, y0, x1, y1 = next(i["rect"] for i in items if i["text"] == text) if text else (200, 200, 200, 200)
        self.xdotool("mousemove", self.origin[0] + (x0 + x1) // 2, self.origin[1] + (y0 + y1) // 2, "click", 1)
        wait_for("the menu to close", lambda: not self.items(), 10)


class Journeys(unittest.TestCase):
    def test_journey(self):  # one session: each step starts where the one before left the program
        s = Session(*ARGS, "journey")
        s.reset()
        s.start()
        self.addCleanup(lambda: s.stop() or s.reset())
        exe = s.wine("winepath", "-w", s.noctara)[1].strip()
        s.spawn("explorer", f"/desktop={DESKTOP},{WIDTH}x{HEIGHT}", s.noctara)
        s.icon()
        wait_for("the update check", s.requests)
        s.hover_tip("Noctara v1.2.2 (Ativo)")
        self.assertEqual(len(glob.glob(f"{s.prefix}/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start Menu/"
                                       "Programs/Qorvex Labs/Noctara.lnk")), 1, "the Start-menu shortcut")
        requests = s.requests()
        self.assertEqual([(r["method"], r["path"]) for r in requests], [("GET", "/api/proxy?file=check_update.php")])
        self.assertEqual([v for k, v in requests[0]["headers"] if k.lower() == "user-agent"], ["Noctara/1.2"])
        items = s.menu()
        s.picture("menu.png")
        s.choose(items)
        s.picture("tray-active.png", s.corner(96, 32), 3, hide=True)

        s.click_icon(repeat=2)
        s.icon(GREY)
        s.xdotool("mousemove", s.origin[0] + 300, s.origin[1] + 300)  # no tooltip in front of the balloon
        wait_for("the pause balloon", lambda: "Pausado. O dispositivo pode dormir." in s.tips())
        s.picture("balloon-paused.png")
        for first, colour in (("Retomar", GREEN), ("Pausar", GREY)):
            items = s.menu()
            self.assertEqual(items[0]["text"], first)
            s.choose(items, first)
            s.icon(colour)
        s.picture("tray-paused.png", s.corner(96, 32), 3, hide=True)

        # Wine 8 cannot restart a busy desktop's shell: it forgets the icon, then "TaskbarCreated" comes.
        self.assertEqual(s.driver("forget-icon")[0], 0)
        wait_for("the shell to lose the icon", s.tray_empty)
        self.assertEqual(s.driver("post", "TaskbarCreated")[0], 0)
        s.icon(GREY)

        run = lambda: s.wine("reg", "query", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run", "/v", "Noctara")
        for checked, value in ((0, f'"{exe}"'), (1, "")):
            items = s.menu()
            self.assertEqual(next(i for i in items if i["text"] == "Iniciar com Windows")["checked"], checked)
            s.choose(items, "Iniciar com Windows")
            wait_for(f"the Run value {value}", lambda: run()[1].partition("REG_SZ")[2].strip() == value)

        self.assertNotEqual(s.driver("clip")[1], [{"text": exe}])
        s.choose(s.menu(), "Copiar caminho do .exe")
        wait_for("the path on the clipboard", lambda: s.driver("clip")[1] == [{"text": exe}])

        self.assertEqual(s.spawn(s.noctara).wait(timeout=30), 0, "a second start ends at once")
        s.choose(s.menu(), "Sair")
        wait_for("the icon to go", s.tray_empty)

        s.reset("newer")
        process = s.spawn(s.noctara)  # on its own wine process: its exit code is the program's
        s.icon()
        wait_for("the update balloon", lambda: "Nova versão disponível! Clique para baixar." in s.tips())
        s.picture("balloon-update.png")
        PICTURES and wait_for("the balloon to close", lambda: not s.tips(), 40)  # not behind the menu's picture
        items = s.menu()
        s.picture("menu-update.png")
        s.choose(items, "★ Baixar Nova Versão (1.3.0)")
        opened = pathlib.Path(s.prefix, "opened.txt")
        address = wait_for("the shell to open the address", lambda: opened.exists() and opened.read_text().split())
        self.assertEqual(address, ["https://localhost/dl/Noctara-1.3.0.zip"])

        s.choose(s.menu(), "Sair")
        wait_for("the icon to go", s.tray_empty)
        self.assertEqual(process.wait(timeout=30), 0)
        process = s.spawn(s.noctara)
        s.icon()
        self.assertEqual(s.driver("post", "0x0010")[0], 0)  # WM_CLOSE
        self.assertEqual(process.wait(timeout=30), 0)


if __name__ == "__main__":
    ARGS[:] = sys.argv[1:4]
    os.makedirs(ARGS[2], exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[4:]])
