#!/usr/bin/env python3
"""Measures Noctara beside the baseline tray program (bench/baseline.cpp) in
one Wine session and prints each figure with the ratio Noctara/baseline and
its goal, then the raw results as JSON. Run by scripts/bench-footprint.sh,
with scripts/lib on PYTHONPATH.

Both programs run side by side on one virtual desktop, so Wine's own
background activity weighs on both alike. A wake-up is a voluntary context
switch of one of the process's Linux threads.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import time

from harness import TOGGLE_ACTIVE, WINDOW_CLASS, WM_CLOSE, Harness, Session, offer, own_version, wait_for

PROGRAMS = {"noctara": ("Noctara.exe", WINDOW_CLASS),
            "baseline": (os.path.join("bench", "Baseline.exe"), "BaselineTrayHiddenWindowClass")}
CLK_TCK = os.sysconf("SC_CLK_TCK")
STARTS = int(os.environ.get("NOCTARA_BENCH_STARTS", "15"))
WINDOW_S = int(os.environ.get("NOCTARA_BENCH_SECONDS", "60"))
# After the check, and after the 35 s that WinHTTP's connection pool lingers with keep-alive on.
RSS_AT_S = 45
# The check's tail: Wine's thread pool, which resolved the service's name, retires its thread 5 s later.
SETTLE_S = 10
SAMPLE_S = 0.1
PINGS = 50


def read(path):
    with open(path) as f:
        return f.read()


def cpu_seconds(pid):
    """utime + stime of the whole process, threads that ended included."""
    fields = read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def rss_kib(pid):
    return int(re.search(r"^VmRSS:\s+(\d+)", read(f"/proc/{pid}/status"), re.M).group(1))


class Threads:
    """Wake-ups of every thread that lives during a window. The counters in
    /proc are per thread and go with it, so each is sampled often and keeps
    its last value once the thread has ended; a thread born in the window
    starts from 0."""

    def __init__(self, pid):
        self.pid = pid
        self.names = {}
        self.begin = time.monotonic()
        self.cpu = cpu_seconds(pid)
        self.first = self.read()
        self.last = dict(self.first)
        self.ended = set()
        self.last_wake = {}  # seconds into the window

    def read(self):
        seen = {}
        for tid in os.listdir(f"/proc/{self.pid}/task"):
            try:
                status = read(f"/proc/{self.pid}/task/{tid}/status")
                self.names.setdefault(int(tid), read(f"/proc/{self.pid}/task/{tid}/comm").strip())
            except OSError:
                continue  # ended meanwhile
            seen[int(tid)] = int(re.search(r"^voluntary_ctxt_switches:\s+(\d+)", status, re.M).group(1))
        return seen

    def sample(self):
        now = self.read()
        at = time.monotonic() - self.begin
        for tid, count in now.items():
            if count != self.last.get(tid, 0):
                self.last_wake[tid] = at
        for tid in set(self.last) - set(now) - self.ended:
            self.ended.add(tid)
            self.last_wake[tid] = at
        self.last.update(now)

    def wakeups(self, tid):
        # A thread's last switch, on its way out, lands after /proc has dropped
        # it: one that ended woke once more than its last sample shows.
        return self.last[tid] - self.first.get(tid, 0) + (tid in self.ended)

    def finish(self):
        self.sample()
        seconds = time.monotonic() - self.begin
        threads = []
        for tid in sorted(self.last):
            flags = [flag for flag, on in (("main", tid == self.pid), ("born", tid not in self.first),
                                           ("ended", tid in self.ended)) if on]
            threads.append({"tid": tid, "name": self.names.get(tid, "?"), "flags": " ".join(flags),
                            "wakeups": self.wakeups(tid), "last_wake_s": self.last_wake.get(tid)})
        return {"seconds": seconds, "cpu_ms": (cpu_seconds(self.pid) - self.cpu) * 1000,
                "wakeups_per_s": sum(t["wakeups"] for t in threads) / seconds,
                "threads_woken": sum(1 for t in threads if t["wakeups"] > 0), "threads": threads}


class Bench:
    def __init__(self, harness):
        self.h = harness
        self.s = Session(harness, "footprint")
        # The build's own version: the service offers nothing.
        self.current = offer(own_version(harness.build))
        self.exes = {k: os.path.join(harness.build, exe) for k, (exe, _) in PROGRAMS.items()}
        self.paths = {}
        self.rss = {}

    def probe(self, which, *args):
        return self.s.probe(PROGRAMS[which][1], *args)

    def launch(self, which):
        code, lines = self.probe(which, "launch", self.paths[which])
        if code != 0:
            raise RuntimeError(f"{which} did not start")
        return lines[0]["ms"]

    def pid(self, which):
        return wait_for(f"{which}'s process", lambda: self.s.unix_pid(self.exes[which]))

    def close(self, which):
        self.probe(which, "post", WM_CLOSE)
        wait_for(f"{which}'s process to end", lambda: self.s.unix_pid(self.exes[which]) is None)

    def start_ups(self):
        for which in PROGRAMS:  # untimed: the first start loads the files from disk
            self.launch(which)
            self.close(which)
        times = {k: [] for k in PROGRAMS}
        for _ in range(STARTS):
            for which in ("baseline", "noctara"):
                times[which].append(self.launch(which))
                time.sleep(1)  # done with starting (the check included) before it is closed
                self.close(which)
        return times

    def windows(self):
        """Memory, CPU and wake-ups once the check has reported: active, then paused."""
        self.h.answer(200, "whole", self.current)  # and a new request log
        started = {}
        for which in ("baseline", "noctara"):
            started[which] = time.monotonic()
            self.launch(which)
        pids = {k: self.pid(k) for k in PROGRAMS}
        wait_for("the update check", self.h.requests)
        results = {"settling": self.window(pids, started, SETTLE_S)}
        results["active"] = self.window(pids, started)
        self.s.command(TOGGLE_ACTIVE)
        time.sleep(2)  # the worker ends within a second
        results["paused"] = self.window(pids, started)
        for which, pid in pids.items():  # when the windows were too short to reach RSS_AT_S
            if which not in self.rss:
                self.rss[which] = {"kib": rss_kib(pid), "after_s": time.monotonic() - started[which]}
        results["rss"] = self.rss
        results["ping_idle_ms"] = {k: self.probe(k, "ping", PINGS)[1][0]["max_ms"] for k in PROGRAMS}
        return results

    def window(self, pids, started, seconds=WINDOW_S):
        threads = {k: Threads(p) for k, p in pids.items()}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(SAMPLE_S)
            for which, t in threads.items():
                t.sample()
                after = time.monotonic() - started[which]
                if which not in self.rss and after >= RSS_AT_S:
                    self.rss[which] = {"kib": rss_kib(pids[which]), "after_s": after}
        return {k: t.finish() for k, t in threads.items()}

    def stalled_ping(self):
        """The UI's answer while the update check waits on a service that says nothing."""
        self.h.answer(200, "stall", self.current)
        for which in PROGRAMS:
            self.launch(which)
        wait_for("the stalled request", self.h.requests)
        pings = {k: self.probe(k, "ping", PINGS)[1][0]["max_ms"] for k in PROGRAMS}
        self.h.answer(200, "whole", self.current)
        return pings

    def run(self):
        self.h.answer(200, "whole", self.current)
        self.s.start()
        try:
            self.paths = {k: self.s.windows_path(exe) for k, exe in self.exes.items()}
            results = {"start_ms": self.start_ups()}
            results.update(self.windows())
            for which in PROGRAMS:
                self.close(which)
            results["ping_stall_ms"] = self.stalled_ping()
        finally:
            self.s.stop()
        return results


def imports(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
    return sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)})


def describe(thread):
    text = f"{thread['tid']} {thread['name']}"
    if thread["flags"]:
        text += f" ({thread['flags']})"
    text += f": {thread['wakeups']}"
    if thread["wakeups"]:
        text += f", the last {thread['last_wake_s']:.1f} s in"
    if "ended" in thread["flags"]:
        text += " on its way out"
    return text


def report(r):
    n, b = "noctara", "baseline"
    active, paused = r["active"], r["paused"]
    median = {k: statistics.median(v) for k, v in r["start_ms"].items()}
    rss = {k: v["kib"] for k, v in r["rss"].items()}
    rss_after = min(v["after_s"] for v in r["rss"].values())
    over = {w: r[w][n]["wakeups_per_s"] - r[w][b]["wakeups_per_s"] for w in ("active", "paused")}
    # (label, figures, format, goal, whether it is met or None)
    rows = [
        ("stripped exe (KiB)", r["size_kib"], "{:.1f}", "Noctara <= 120", r["size_kib"][n] <= 120),
        ("imported DLLs", {k: len(v) for k, v in r["imports"].items()}, "{:d}", "", None),
        (f"resident memory {rss_after:.0f} s after start (KiB)", rss, "{:d}", "ratio <= 1.65",
         rss[n] <= 1.65 * rss[b]),
        (f"start-up to window (ms, median of {STARTS})", median, "{:.0f}", "ratio <= 1.4",
         median[n] <= 1.4 * median[b]),
        (f"CPU active (ms in {WINDOW_S} s)", {k: active[k]["cpu_ms"] for k in active}, "{:.0f}", "", None),
        (f"CPU paused (ms in {WINDOW_S} s)", {k: paused[k]["cpu_ms"] for k in paused}, "{:.0f}", "", None),
        ("wake-ups active (per s)", {k: active[k]["wakeups_per_s"] for k in active}, "{:.2f}",
         f"baseline + 1 (is {over['active']:+.2f})", round(over["active"], 1) == 1.0),
        ("wake-ups paused (per s)", {k: paused[k]["wakeups_per_s"] for k in paused}, "{:.2f}",
         f"baseline + 0 (is {over['paused']:+.2f})", round(over["paused"], 1) == 0.0),
        ("threads that woke, active", {k: active[k]["threads_woken"] for k in active}, "{:d}",
         "baseline + 1, the worker", active[n]["threads_woken"] == active[b]["threads_woken"] + 1),
        ("threads that woke, paused", {k: paused[k]["threads_woken"] for k in paused}, "{:d}", "baseline + 0",
         paused[n]["threads_woken"] == paused[b]["threads_woken"]),
        (f"UI round trip idle (ms, max of {PINGS})", r["ping_idle_ms"], "{:.2f}", "", None),
        (f"UI round trip, service stalls (ms, max of {PINGS})", r["ping_stall_ms"], "{:.2f}", "Noctara < 50",
         r["ping_stall_ms"][n] < 50),
    ]
    print(f"\n{'':<48} {'Noctara':>9} {'baseline':>9} {'ratio':>6}  goal")
    for label, figures, fmt, goal, met in rows:
        ratio = f"{figures[n] / figures[b]:.2f}" if figures[b] else "-"
        verdict = {True: "  (met)", False: "  (MISSED)", None: ""}[met]
        print(f"{label:<48} {fmt.format(figures[n]):>9} {fmt.format(figures[b]):>9} {ratio:>6}  {goal}{verdict}")
    print(f"\nEvery thread that lived in the {SETTLE_S} s after the check's request, then in the {WINDOW_S} s "
          "windows: tid, name: wake-ups")
    for window in ("settling", "active", "paused"):
        for which in (n, b):
            print(f"  {window:<8} {which:<8} " + "; ".join(map(describe, r[window][which]["threads"])))
    for which in (n, b):
        print(f"imports, {which}: " + ", ".join(r["imports"][which]))
        print(f"start-ups, {which} (ms, in order): " + " ".join(f"{ms:.0f}" for ms in r["start_ms"][which]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    print(f"Noctara footprint under {wine}: {STARTS} start-ups each, then {WINDOW_S} s windows active and paused, "
          "both programs side by side")
    with Harness(parser.parse_args().build) as harness:
        bench = Bench(harness)
        r = bench.run()
    r["size_kib"] = {k: os.path.getsize(exe) / 1024 for k, exe in bench.exes.items()}
    r["imports"] = {k: imports(exe) for k, exe in bench.exes.items()}
    report(r)
    print(json.dumps(r))


if __name__ == "__main__":
    main()
