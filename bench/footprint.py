#!/usr/bin/env python3
"""Measures Noctara beside the baseline tray program under one Wine session
and prints a table with the ratios Noctara/baseline. Run by
scripts/bench-footprint.sh, which provides the display, the template prefix
and the test service (environment as for the end-to-end suite).

Both programs run at the same time on one virtual desktop, so Wine's own
background activity weighs on both alike.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from journeys import Session, wait_for  # noqa: E402

BASELINE_CLASS = "BaselineTrayHiddenWindowClass"
CLK_TCK = os.sysconf("SC_CLK_TCK")
STARTS = 5
SETTLE_S = 10
WINDOW_S = int(os.environ.get("NOCTARA_BENCH_SECONDS", "60"))


def imports(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
    return sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)})


def unix_pid(prefix, name):
    """The Linux process of the Windows program name in prefix."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                program = f.read().split(b"\0")[0].decode(errors="replace")
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if re.split(r"[\\/]", program)[-1].lower() == name.lower() and f"WINEPREFIX={prefix}".encode() in environ:
            return int(entry)
    return None


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith("VmRSS:")))


def counters(pid):
    """(CPU seconds, context switches) of the whole process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime
    switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return cpu, switches


def sample(pids, seconds):
    before = {k: counters(p) for k, p in pids.items()}
    time.sleep(seconds)
    after = {k: counters(p) for k, p in pids.items()}
    return {k: (after[k][0] - before[k][0], (after[k][1] - before[k][1]) / seconds) for k in pids}


class Bench:
    def __init__(self, build):
        self.build = build
        self.exes = {"noctara": os.path.join(build, "Noctara.exe"),
                     "baseline": os.path.join(build, "bench", "Baseline.exe")}
        workdir = os.path.join(build, "bench", "work")
        os.makedirs(workdir, exist_ok=True)
        self.s = Session(self.exes["noctara"], os.path.join(build, "tests", "e2e", "e2e_driver.exe"),
                         workdir, "footprint")
        self.classes = {"noctara": "NoctaraTrayHiddenWindowClass", "baseline": BASELINE_CLASS}

    def driver(self, which, *args):
        return self.s.driver("--class", self.classes[which], *args)

    def launch(self, which):
        code, lines = self.driver(which, "launch", self.s.wine("winepath", "-w", self.exes[which])[1].strip())
        if code != 0:
            raise RuntimeError(f"{which} did not start")
        return lines[0]["ms"]

    def close(self, which):
        self.driver(which, "post", "0x0010")  # WM_CLOSE
        wait_for(f"{which} to end", lambda: self.driver(which, "window")[0] != 0, 30)
        name = os.path.basename(self.exes[which])
        wait_for(f"{which}'s process to end", lambda: unix_pid(self.s.prefix, name) is None, 30)

    def pid(self, which):
        name = os.path.basename(self.exes[which])
        return wait_for(f"{which}'s process", lambda: unix_pid(self.s.prefix, name), 30)

    def run(self):
        s = self.s
        s.reset()
        s.start()
        results = {}
        try:
            # The desktop and its taskbar come up with a first copy, untimed.
            s.spawn("explorer", "/desktop=e2e,1024x768", self.exes["baseline"])
            wait_for("the baseline", lambda: self.driver("baseline", "window")[0] == 0, 60)
            self.close("baseline")
            starts = {"noctara": [], "baseline": []}
            for _ in range(STARTS):
                for which in ("baseline", "noctara"):
                    starts[which].append(self.launch(which))
                    time.sleep(1)  # let it settle before it is closed
                    self.close(which)
            results["start_ms"] = {k: statistics.median(v) for k, v in starts.items()}

            for which in ("baseline", "noctara"):
                self.launch(which)
            pids = {k: self.pid(k) for k in self.exes}
            wait_for("the update check", lambda: s.requests(), 30)
            time.sleep(SETTLE_S)
            results["rss_kib"] = {k: rss_kib(p) for k, p in pids.items()}
            results["active"] = sample(pids, WINDOW_S)
            self.driver("noctara", "post", "0x0111", "40001")  # WM_COMMAND: pause
            time.sleep(2)  # the worker notices within a second
            results["paused"] = sample(pids, WINDOW_S)
            results["ping_idle"] = {k: self.driver(k, "ping", "50")[1][0] for k in pids}
            for which in ("baseline", "noctara"):
                self.close(which)

            # The update check hangs on a service that never answers.
            s.reset("stall&seconds=60")
            for which in ("baseline", "noctara"):
                self.launch(which)
            wait_for("the stalled request", lambda: s.requests(), 30)
            results["ping_stall"] = {k: self.driver(k, "ping", "50")[1][0] for k in self.exes}
        finally:
            s.reset()
            s.stop()
        return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    bench = Bench(os.path.abspath(args.build))
    sizes = {k: os.path.getsize(v) for k, v in bench.exes.items()}
    dlls = {k: imports(v) for k, v in bench.exes.items()}
    r = bench.run()

    def row(label, key, fmt, goal=""):
        n, b = key("noctara"), key("baseline")
        ratio = f"{n / b:.2f}" if b else "-"
        print(f"{label:<40} {fmt.format(n):>12} {fmt.format(b):>12} {ratio:>7}  {goal}")

    print(f"\nNoctara footprint under {subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()}"
          f", {WINDOW_S} s windows, both programs running side by side\n")
    print(f"{'':<40} {'Noctara':>12} {'baseline':>12} {'ratio':>7}  goal")
    row("stripped exe (KiB)", lambda k: sizes[k] / 1024, "{:.1f}", "Noctara <= 300 KB")
    row("imported DLLs", lambda k: len(dlls[k]), "{:d}")
    row("resident memory after 10 s (KiB)", lambda k: r["rss_kib"][k], "{:d}", "ratio <= 1.15")
    row("start-up to window (ms, median)", lambda k: r["start_ms"][k], "{:.0f}", "ratio <= 1.3")
    row("CPU active (ms per 60 s)", lambda k: r["active"][k][0] * 1000 * 60 / WINDOW_S, "{:.0f}")
    row("CPU paused (ms per 60 s)", lambda k: r["paused"][k][0] * 1000 * 60 / WINDOW_S, "{:.0f}")
    row("wake-ups active (per s)", lambda k: r["active"][k][1], "{:.2f}", "Noctara - baseline = 1")
    row("wake-ups paused (per s)", lambda k: r["paused"][k][1], "{:.2f}", "Noctara - baseline = 0")
    row("UI round trip idle (ms, max)", lambda k: r["ping_idle"][k]["max_ms"], "{:.2f}")
    row("UI round trip, service stalls (ms, max)", lambda k: r["ping_stall"][k]["max_ms"], "{:.2f}", "< 50 ms")
    print()
    print("wake-ups over the baseline: active "
          f"{r['active']['noctara'][1] - r['active']['baseline'][1]:+.2f}/s, paused "
          f"{r['paused']['noctara'][1] - r['paused']['baseline'][1]:+.2f}/s")
    print("imports: Noctara " + ", ".join(dlls["noctara"]))
    print("         baseline " + ", ".join(dlls["baseline"]))
    print(json.dumps(r))


if __name__ == "__main__":
    main()
