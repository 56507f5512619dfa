#!/usr/bin/env python3
"""What a user does with Noctara, done with the mouse on the real program
under Wine, and checked from outside it.

    journeys.py --noctara EXE --driver EXE --workdir DIR [unittest args]

With NOCTARA_E2E_PICTURES=DIR set, the journeys also save the README's
pictures there.
"""
import argparse
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session import GREEN, GREY, Session, wait_for  # noqa: E402

RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
WM_CLOSE = 0x0010
CMD_TOGGLE_ACTIVE = 40001
TIP_ACTIVE = "Noctara v1.2.2 (Ativo)"
TIP_PAUSED = "Noctara v1.2.2 (Pausado)"
UPDATE_ITEM = "★ Baixar Nova Versão (1.3.0)"
UPDATE_URL = "https://localhost/dl/Noctara-1.3.0.zip"
MENU_AT_REST = ["Pausar", "", "Iniciar com Windows", "", "Copiar caminho do .exe", "", "Versão: 1.2.2", "Sair"]

ARGS = None
PICTURES = os.environ.get("NOCTARA_E2E_PICTURES")


class Journeys(unittest.TestCase):
    def setUp(self):
        self.session = Session(ARGS.noctara, ARGS.driver, ARGS.workdir, self._testMethodName)
        self.service = self.session.service
        self.service.reset("current")
        self.session.start()
        self.addCleanup(self.service.reset)
        self.addCleanup(self.session.stop)

    # --- helpers ------------------------------------------------------------
    def picture(self, name, box=None, scale=None):
        if PICTURES:
            self.session.save_picture(os.path.join(PICTURES, name), box, scale)

    def visible_tip(self, text):
        """The visible tooltip or balloon window showing text, if any."""
        return next((t for t in self.session.tips() if t["visible"] and t["text"] == text), None)

    def hover_tip(self, text):
        """Rests the pointer on the icon until the shell's tooltip reads text."""
        s = self.session
        x, y = s.icon_centre()

        def probe():
            # The tooltip opens when the pointer rests after a move.
            s.xdotool("mousemove", x - 1, y)
            s.xdotool("mousemove", x, y)
            return wait_for_quietly(lambda: self.visible_tip(text), 1.5)
        return wait_for(f"the tooltip {text!r}", probe, 20, interval=0)

    def texts(self, items):
        return [i["text"] for i in items]

    def item(self, items, text):
        return next(i for i in items if i["text"] == text)

    def tray_is_empty(self):
        return self.session.tray_is_empty()

    def one_check_request(self):
        log = [r for r in self.service.log() if not r["path"].startswith("/__")]
        return log if len(log) >= 1 else None

    # --- journeys -------------------------------------------------------------
    def test_first_start(self):
        s = self.session
        s.launch_on_desktop()
        wait_for("the update check", self.one_check_request)
        self.hover_tip(TIP_ACTIVE)

        shortcuts = s.shortcut_paths()
        self.assertEqual(len(shortcuts), 1, "the Start-menu shortcut")
        with open(shortcuts[0], "rb") as f:
            link = f.read()
        self.assertEqual(link[:4], b"L\0\0\0", "a shell link header")
        self.assertIn(b"Noctara.exe", link)

        _, items = s.open_menu()
        self.assertEqual(self.texts(items), MENU_AT_REST)
        self.assertEqual(self.item(items, "Versão: 1.2.2")["grayed"], True)
        self.assertEqual(self.item(items, "Iniciar com Windows")["checked"], False)
        self.picture("menu.png")
        s.close_menu()
        s.hover_away()
        wait_for("the tooltip to close", lambda: not any(t["visible"] for t in s.tips()))
        self.picture("tray-active.png", s.icon_picture_box(), scale=3)

        # Still exactly one request, a while after the first.
        requests = [r for r in self.service.log() if not r["path"].startswith("/__")]
        self.assertEqual(len(requests), 1, requests)
        self.assertEqual(requests[0]["method"], "GET")
        self.assertEqual(requests[0]["path"], "/api/proxy?file=check_update.php")
        agents = [v for k, v in requests[0]["headers"] if k.lower() == "user-agent"]
        self.assertEqual(agents, ["Noctara/1.2"])

    def test_pause_resume(self):
        s = self.session
        s.launch_on_desktop()
        wait_for("the update check", self.one_check_request)
        s.click_icon(button=1, repeat=2)
        wait_for("the paused picture", lambda: s.icon_shows(GREY) and not s.icon_shows(GREEN))
        wait_for("the pause balloon", lambda: self.visible_tip("Pausado. O dispositivo pode dormir."))
        if PICTURES:
            s.hover_away()
            wait_for("the tooltip to close", lambda: not self.visible_tip(TIP_PAUSED))
            self.picture("balloon-paused.png")
        self.hover_tip(TIP_PAUSED)

        _, items = s.open_menu()
        self.assertEqual(items[0]["text"], "Retomar")
        s.choose(items, "Retomar")
        wait_for("the active picture", lambda: s.icon_shows(GREEN) and not s.icon_shows(GREY))
        wait_for("the resume balloon", lambda: self.visible_tip("Ativo! O dispositivo não irá dormir."))
        self.hover_tip(TIP_ACTIVE)
        _, items = s.open_menu()
        self.assertEqual(items[0]["text"], "Pausar")
        s.choose(items, "Pausar")
        wait_for("the paused picture", lambda: s.icon_shows(GREY) and not s.icon_shows(GREEN))
        if PICTURES:
            s.hover_away()
            wait_for("the balloon to close", lambda: not any(t["visible"] for t in s.tips()), 40)
            self.picture("tray-paused.png", s.icon_picture_box(), scale=3)

    def test_autostart(self):
        s = self.session
        exe = s.windows_path(s.noctara)
        s.launch_on_desktop()
        self.assertIsNone(s.reg_query(RUN_KEY, "Noctara"))
        _, items = s.open_menu()
        s.choose(items, "Iniciar com Windows")
        value = wait_for("the Run value", lambda: s.reg_query(RUN_KEY, "Noctara"))
        self.assertEqual(value, f'"{exe}"')
        wait_for("the confirmation", lambda: self.visible_tip("Iniciará com o Windows."))

        _, items = s.open_menu()
        self.assertTrue(self.item(items, "Iniciar com Windows")["checked"])
        s.choose(items, "Iniciar com Windows")
        wait_for("the Run value to go", lambda: s.reg_query(RUN_KEY, "Noctara") is None)
        wait_for("the confirmation", lambda: self.visible_tip("Removido da inicialização com o Windows."))
        _, items = s.open_menu()
        self.assertFalse(self.item(items, "Iniciar com Windows")["checked"])
        s.close_menu()

    def test_copy_path(self):
        s = self.session
        exe = s.windows_path(s.noctara)
        s.launch_on_desktop()
        code, _ = s.driver("setclip", "something the user had copied")
        self.assertEqual(code, 0)
        _, items = s.open_menu()
        s.choose(items, "Copiar caminho do .exe")

        def clipboard():
            code, lines = s.driver("getclip")
            return lines[0]["text"] if code == 0 and lines and lines[0]["text"] == exe else None
        wait_for("the path on the clipboard", clipboard)
        wait_for("the confirmation", lambda: self.visible_tip("Caminho copiado."))

    def test_update_offer(self):
        s = self.session
        self.service.reset("newer")
        s.launch_on_desktop()
        wait_for("the update balloon", lambda: self.visible_tip("Nova versão disponível! Clique para baixar."))
        self.picture("balloon-update.png")
        if PICTURES:  # the menu's picture without the balloon behind it
            wait_for("the balloon to close", lambda: not any(t["visible"] for t in s.tips()), 40)
        _, items = s.open_menu()
        self.assertEqual(self.texts(items), MENU_AT_REST[:4] + [UPDATE_ITEM, ""] + MENU_AT_REST[4:])
        self.picture("menu-update.png")
        s.choose(items, UPDATE_ITEM)
        self.assertEqual(wait_for("the shell to open the address", s.opened), [UPDATE_URL])

    def test_exit_paths(self):
        s = self.session
        s.launch_on_desktop()
        first = s.window()

        # A second start while one runs: ends at once with 0, the first stays.
        second = s.launch_direct()
        self.assertEqual(second.wait(timeout=30), 0)
        self.assertEqual(s.window(), first)

        # "Sair" on the copy the desktop started: icon and program gone.
        _, items = s.open_menu()
        s.choose(items, "Sair")
        wait_for("the icon to go", self.tray_is_empty)
        wait_for("the program to end", lambda: not s.has_window())

        # Started on its own, its exit code is visible: "Sair" gives 0 ...
        process = s.launch_direct()
        s.window()
        s.icon()
        _, items = s.open_menu()
        s.choose(items, "Sair")
        self.assertEqual(process.wait(timeout=30), 0)
        wait_for("the icon to go", self.tray_is_empty)

        # ... and so does a WM_CLOSE from outside.
        process = s.launch_direct()
        s.window()
        s.icon()
        s.driver("post", str(WM_CLOSE))
        self.assertEqual(process.wait(timeout=30), 0)
        wait_for("the icon to go", self.tray_is_empty)

    def test_shell_restart(self):
        s = self.session
        s.launch_on_desktop()
        for colour, other in ((GREEN, GREY), (GREY, GREEN)):
            code, _ = s.driver("forget-icon")
            self.assertEqual(code, 0)
            wait_for("the shell to lose the icon", self.tray_is_empty)
            code, _ = s.driver("post", "TaskbarCreated")
            self.assertEqual(code, 0)
            s.icon(colour)
            self.assertFalse(s.icon_shows(other))
            s.command(CMD_TOGGLE_ACTIVE)  # the next round expects the other picture
            wait_for("the picture to change", lambda: s.icon_shows(other))


def wait_for_quietly(probe, timeout):
    try:
        return wait_for("", probe, timeout)
    except AssertionError:
        return None


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--noctara", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--workdir", required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.workdir, exist_ok=True)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
