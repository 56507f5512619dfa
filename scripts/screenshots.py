#!/usr/bin/env python3
"""Takes the README's six pictures of Noctara on a Wine virtual desktop:
screenshots.py BUILD DOCS, with scripts/lib on PYTHONPATH, as
scripts/screenshots.sh runs it.

Each picture is the bottom-right corner of the 1024x768 desktop, where the
taskbar keeps the notification area; the menu is opened and the balloons
raised by posting the messages the shell and the menu would send.
"""
import os
import subprocess
import sys
import time

from harness import (EXIT, HEIGHT, TOGGLE_ACTIVE, WIDTH, WINDOW_CLASS, Harness, Session, newer_version, offer,
                     own_version, wait_for)

# The icon's fills (tools/make_icons.py).
GREEN = (0x2E, 0x9E, 0x4F)
GREY = (0x8A, 0x8F, 0x96)
PAUSED_TEXT = "Pausado. O dispositivo pode dormir."
UPDATE_TEXT = "Nova versão disponível! Clique para baixar."
WM_RBUTTONUP = 0x0205
TRAY_CALLBACK = 0x8001  # WM_APP + 1


class Pictures:
    def __init__(self, harness, docs):
        self.h = harness
        self.s = Session(harness, "pictures")
        self.exe = os.path.join(harness.build, "Noctara.exe")
        self.docs = docs
        self.x, self.y = 0, 0

    def corner(self, width, height):
        """The box (left, top, right, bottom) of the desktop's bottom-right corner on the screen."""
        return (self.x + WIDTH - width, self.y + HEIGHT - height, self.x + WIDTH, self.y + HEIGHT)

    def grab(self, box, *output):
        left, top, right, bottom = box
        return subprocess.run(["import", "-window", "root", "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                               "+repage", *output], capture_output=True, check=True).stdout

    def find(self, colour):
        """The box around the pixels of the notification area close to colour, if there are 20 or more."""
        box = self.corner(200, 40)
        rgb = self.grab(box, "-depth", "8", "rgb:-")
        width = box[2] - box[0]
        hits = [(i // 3 % width, i // 3 // width) for i in range(0, len(rgb), 3)
                if sum(abs(a - b) for a, b in zip(rgb[i:i + 3], colour)) <= 40]
        if len(hits) < 20:
            return None
        xs, ys = zip(*hits)
        return (box[0] + min(xs), box[1] + min(ys), box[0] + max(xs) + 1, box[1] + max(ys) + 1)

    def icon(self, colour):
        """Waits until the tray shows the icon in colour alone; its box."""
        other = GREY if colour == GREEN else GREEN
        return wait_for(f"the icon in {colour}", lambda: not self.find(other) and self.find(colour))

    def texts(self, window_class):
        """The texts of the visible windows of the class; None when there are none."""
        code, text = self.s.wine(self.s.probe_exe, window_class, "visible")
        return text.splitlines() if code == 0 else None

    def save(self, name, box, scale=1):
        path = os.path.join(self.docs, name)
        taken = path + ".new.png"
        self.grab(box, "-filter", "point", "-resize", f"{scale * 100}%", "-strip",
                  "-define", "png:exclude-chunks=date,time", taken)
        # Another ImageMagick may write the same pixels in other bytes: an
        # unchanged picture keeps its file.
        compared = subprocess.run(["compare", "-metric", "AE", path, taken, "null:"], capture_output=True)
        if compared.returncode == 0:
            os.remove(taken)
        else:
            os.replace(taken, path)

    def pointer(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], check=True)

    def away(self):
        """The pointer on the bare desktop, where it raises no tooltip."""
        self.pointer(self.x + WIDTH // 2, self.y + HEIGHT // 2)

    def quiet(self):
        """No balloon or tooltip in front of the tray."""
        self.away()
        wait_for("the balloons to close", lambda: self.texts("tooltips_class32") is None, 60)

    def tray(self, name, colour):
        """The icon alone, three times the size."""
        self.quiet()
        self.icon(colour)
        self.save(name, self.corner(96, 32), 3)

    def balloon(self, name, text):
        wait_for(f"the balloon {text!r}", lambda: text in (self.texts("tooltips_class32") or []))
        time.sleep(1)  # painted
        self.save(name, self.corner(400, 300))

    def menu(self, name, box):
        # The menu opens at the pointer, which rests on the taskbar beside the
        # icon: on the icon it would raise the tooltip in front of the menu.
        self.pointer(box[0] - 40, (box[1] + box[3]) // 2)
        self.s.probe(WINDOW_CLASS, "post", TRAY_CALLBACK, 0, (1 << 16) | WM_RBUTTONUP)
        wait_for("the menu", lambda: self.texts("#32768") is not None)
        time.sleep(1)  # painted
        self.save(name, self.corner(400, 300))
        # A click elsewhere closes it without choosing.
        subprocess.run(["xdotool", "mousemove", str(self.x + 200), str(self.y + 200), "click", "1"], check=True)
        wait_for("the menu to close", lambda: self.texts("#32768") is None)

    def start(self, answer):
        self.h.answer(200, "whole", answer)
        self.s.spawn(self.exe)
        box = self.icon(GREEN)  # the check has reported: it switches the program on
        wait_for("the update check", self.h.requests)
        return box

    def stop(self):
        self.s.command(EXIT)
        wait_for("Noctara to end", lambda: self.s.unix_pid(self.exe) is None)

    def run(self):
        self.s.start()
        try:
            self.x, self.y = self.s.origin()
            version = own_version(self.h.build)
            box = self.start(offer(version))
            self.tray("tray-active.png", GREEN)
            self.menu("menu.png", box)
            self.away()
            self.s.command(TOGGLE_ACTIVE)
            self.icon(GREY)
            self.balloon("balloon-paused.png", PAUSED_TEXT)
            self.tray("tray-paused.png", GREY)
            self.stop()

            self.away()
            box = self.start(offer(newer_version(version)))
            self.balloon("balloon-update.png", UPDATE_TEXT)
            self.quiet()
            self.menu("menu-update.png", box)
            self.stop()
        finally:
            self.s.stop()


if __name__ == "__main__":
    with Harness(sys.argv[1]) as harness:
        Pictures(harness, os.path.abspath(sys.argv[2])).run()
