#!/usr/bin/python3
"""Measures the kit's three tools against the tools people would use instead.

Run by bench/run, which installs the peers and builds the release build first. Prints one
markdown table per tool and writes bench/RESULTS.md with the figures and the plots.
Usage: bench.py BUILD_DIR OUT_DIR
"""
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BUILD, OUT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
CORVANE, BREVIN, MOLTRIN = (os.path.join(BUILD, t) for t in ("corvane", "brevin", "moltrin"))
SIGSTAMP, CTLLAT = (os.path.join(BUILD, "bench", t) for t in ("sigstamp", "ctllat"))
WORK = tempfile.mkdtemp(prefix="kitbench.")
started = []   # every process this script starts, ended by pid at the end


def start(args, **kw):
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kw)
    started.append(p)
    return p


def stop(p):
    if p.poll() is None:
        p.kill()
        p.wait()


def children(pid):
    kids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid and fields[0] != "Z":
                    kids.append(int(name))
            except (OSError, IndexError):
                pass
    return kids


def waitfor(cond, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.005)
    raise RuntimeError("timed out")


def timed(args, **kw):
    """Runs a command to its end: (wall seconds, peak RSS in KiB, minor faults)."""
    t0 = time.monotonic()
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, **kw)
    started.append(p)
    _, status, ru = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - t0
    if p.returncode != 0:
        raise RuntimeError(f"{args[0]} exited with {p.returncode}")
    return wall, ru.ru_maxrss, ru.ru_minflt


def pct(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(q * len(v)))]


def fig(runs, fmt="{:.1f}"):
    """Median over repeated runs and the range (min-max) as the spread."""
    if len(runs) == 1:
        return fmt.format(runs[0])
    return f"{fmt.format(statistics.median(runs))} ({fmt.format(min(runs))}-{fmt.format(max(runs))})"


targets = []   # (what, target, measured, met)


def target(what, goal, measured, met):
    targets.append((what, goal, measured, "met" if met else "**missed**"))


def table(title, head, rows):
    lines = [f"### {title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    text = "\n".join(lines) + "\n"
    print(text, flush=True)
    return text


# ------------------------------------------------------------------ corvane against runsv
def controller(style, mode, fifo):
    """Starts corvane or runsv over sigstamp; returns (process, control FIFO)."""
    if style == "corvane":
        ctl = os.path.join(WORK, "ctl")
        return start([CORVANE, "-fifo", ctl, SIGSTAMP, fifo, mode]), ctl
    svc = os.path.join(WORK, f"svc-{mode}")
    shutil.rmtree(svc, ignore_errors=True)
    os.makedirs(svc)
    with open(os.path.join(svc, "run"), "w") as f:
        f.write(f"#!/bin/sh\nexec {SIGSTAMP} {fifo} {mode}\n")
    os.chmod(os.path.join(svc, "run"), 0o755)
    return start(["runsv", svc]), os.path.join(svc, "supervise", "control")


def ctllat(style, mode, count, rounds):
    """Runs ctllat against a fresh controller `rounds` times; {kind: [samples per round]}."""
    out = {}
    for _ in range(rounds):
        fifo = os.path.join(WORK, "stamps")
        if os.path.exists(fifo):
            os.unlink(fifo)
        os.mkfifo(fifo)
        keep = os.open(fifo, os.O_RDWR)   # a reader, so that the child's open never blocks
        ctl, path = controller(style, mode, fifo)
        try:
            waitfor(lambda: os.path.exists(path) and children(ctl.pid))
            kid = children(ctl.pid)[0]
            waitfor(lambda: open(f"/proc/{kid}/comm").read().strip() == "sigstamp")
            res = subprocess.run([CTLLAT, style, mode, path, fifo, str(kid), str(count)],
                                 capture_output=True, text=True, timeout=120, check=True)
            per = {}
            for kind, ns in (l.split() for l in res.stdout.splitlines()):
                per.setdefault(kind, []).append(int(ns) / 1000.0)
            for kind, v in per.items():
                out.setdefault(kind, []).append(v)
        finally:
            for k in children(ctl.pid):
                os.kill(k, signal.SIGKILL)
            stop(ctl)
            os.close(keep)
    return out


def spawnfloor(count):
    """What starting sigstamp costs by itself: posix_spawn to its main, in microseconds."""
    fifo = os.path.join(WORK, "stamps")
    if os.path.exists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    fd = os.open(fifo, os.O_RDWR)
    out = []
    for _ in range(count):
        t0 = time.monotonic_ns()
        pid = os.posix_spawn(SIGSTAMP, [SIGSTAMP, fifo, "restart"], os.environ)
        rec = os.read(fd, 16)
        out.append((int.from_bytes(rec[8:], "little", signed=True) - t0) / 1000.0)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    return out


def idle(seconds):
    """CPU ticks and context switches of each controller over `seconds` with a sleeping child."""
    svc = os.path.join(WORK, "svc-idle")
    os.makedirs(svc, exist_ok=True)
    with open(os.path.join(svc, "run"), "w") as f:
        f.write("#!/bin/sh\nexec sleep 1000\n")
    os.chmod(os.path.join(svc, "run"), 0o755)
    procs = {"corvane": start([CORVANE, "-fifo", os.path.join(WORK, "idle"), "sleep", "1000"]),
             "runsv": start(["runsv", svc])}
    time.sleep(1)

    def sample(pid):
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])
        switches = 0
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if "ctxt_switches" in line:
                    switches += int(line.split()[1])
        return ticks, switches

    before = {k: sample(p.pid) for k, p in procs.items()}
    time.sleep(seconds)
    after = {k: sample(p.pid) for k, p in procs.items()}
    for p in procs.values():
        for k in children(p.pid):
            os.kill(k, signal.SIGKILL)
        stop(p)
    return {k: (after[k][0] - before[k][0], after[k][1] - before[k][1]) for k in procs}


def bench_corvane(report):
    lat = {s: ctllat(s, "term", 400, 3) for s in ("corvane", "runit")}
    rows = []
    for kind, label in (("term", "kill/`t`: write returned -> SIGTERM handler"),
                        ("stop", "pause/`p`: write returned -> child stopped"),
                        ("cont", "resume/`c`: write returned -> child running")):
        for q, qname in ((0.5, "median"), (0.99, "p99"), (1.0, "max")):
            c = [pct(r, q) for r in lat["corvane"][kind]]
            r = [pct(x, q) for x in lat["runit"][kind]]
            rows.append([label if qname == "median" else "", qname, fig(c), fig(r),
                         f"{statistics.median(c) / statistics.median(r):.2f}"])
            if qname != "max":
                goal = 100 if qname == "median" else 1000
                m = statistics.median(c)
                target(f"corvane {kind} latency, {qname}", f"under {goal} us", f"{m:.1f} us"
                       + ("" if m < goal else f" ({m / goal:.1f}x the target)"), m < goal)
    # The distribution of every SIGTERM latency, for the plot.
    with open(os.path.join(WORK, "term.dat"), "w") as f:
        for style in ("corvane", "runit"):
            v = sorted(x for r in lat[style]["term"] for x in r)
            for i, x in enumerate(v):
                f.write(f"{x} {(i + 1) / len(v)}\n")
            f.write("\n\n")

    rc = ctllat("corvane", "restart", 100, 3)["restart"]
    rr = ctllat("runit", "restart", 5, 3)["restart"]
    floor = [spawnfloor(100) for _ in range(3)]
    med = lambda runs: [statistics.median(r) for r in runs]
    rows.append(["restart: old child's exit -> new child's main", "median", fig(med(rc)), fig(med(rr)),
                 f"{statistics.median(med(rc)) / statistics.median(med(rr)):.2f}"])
    rows.append(["(floor: posix_spawn of the same child -> its main)", "median", fig(med(floor)), "", ""])
    m = statistics.median(med(rc))
    target("corvane restart latency, median", "under 1000 us",
           f"{m:.0f} us, of which {statistics.median(med(floor)):.0f} us is starting the child itself", m < 1000)
    idle_runs = idle(10)
    target("corvane idle wake-ups over 10 s", "0", f"{idle_runs['corvane'][1]} context switches",
           idle_runs["corvane"][1] == 0)
    rows.append(["idle 10 s, sleeping child: CPU ticks", "", idle_runs["corvane"][0], idle_runs["runsv"][0], ""])
    rows.append(["idle 10 s, sleeping child: context switches", "", idle_runs["corvane"][1],
                 idle_runs["runsv"][1], ""])
    report.append(table("corvane against runsv (microseconds; 3 runs of 400 commands, 100 restarts of "
                        "corvane and 5 of runsv, which holds back a service that ran under 1 s)",
                        ["what", "figure", "corvane", "runsv", "ratio"], rows))


# ------------------------------------------------------------------ brevin against curl
def bench_brevin(report):
    site = os.path.join(WORK, "site")
    os.makedirs(site)
    with open(os.path.join(site, "big"), "wb") as f:
        f.truncate(1 << 30)
    with open(os.path.join(site, "small"), "wb") as f:
        f.write(b"x" * 1024)
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    conf = os.path.join(WORK, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off; master_process off; worker_processes 1;
error_log {WORK}/nginx-error.log; pid {WORK}/nginx.pid;
events {{ worker_connections 64; }}
http {{ access_log off; sendfile on; client_body_temp_path {WORK}/ngx; proxy_temp_path {WORK}/ngx;
  fastcgi_temp_path {WORK}/ngx; uwsgi_temp_path {WORK}/ngx; scgi_temp_path {WORK}/ngx;
  server {{ listen 127.0.0.1:{port}; root {site}; }} }}
""")
    nginx = start(["nginx", "-p", WORK, "-c", conf])
    try:
        def listening():
            try:
                socket.create_connection(("127.0.0.1", port)).close()
                return True
            except OSError:
                return False
        waitfor(listening)
        out = os.path.join(WORK, "fetched")
        tools = {"brevin": lambda url: [BREVIN, "-o", out, url],
                 "curl": lambda url: ["curl", "-s", "-o", out, url]}
        big, small = f"http://127.0.0.1:{port}/big", f"http://127.0.0.1:{port}/small"
        res = {t: {"wall": [], "rss": [], "per": []} for t in tools}
        for _ in range(3):
            for t, cmd in tools.items():
                wall, rss, _ = timed(cmd(big))
                if os.path.getsize(out) != 1 << 30:
                    raise RuntimeError(f"{t} fetched {os.path.getsize(out)} bytes")
                os.unlink(out)
                res[t]["wall"].append(wall)
                res[t]["rss"].append(rss / 1024)
        for _ in range(3):
            for t, cmd in tools.items():
                t0 = time.monotonic()
                for _ in range(500):
                    timed(cmd(small))
                res[t]["per"].append((time.monotonic() - t0) / 500 * 1000)
    finally:
        stop(nginx)
    b, c = res["brevin"], res["curl"]
    ratio = lambda k: f"{statistics.median(b[k]) / statistics.median(c[k]):.2f}"
    for k, what in (("wall", "brevin 1 GiB wall time"), ("per", "brevin 1 KiB fetch time")):
        r = statistics.median(b[k]) / statistics.median(c[k])
        target(what, "within 5% of curl", f"{(r - 1) * 100:+.1f}% against curl", r <= 1.05)
    extra = statistics.median(b["rss"]) - 1024
    target("brevin 1 GiB peak memory", "body + 16 MiB at most", f"body + {extra:.0f} MiB", extra <= 16)
    rows = [["1 GiB file: wall time (s)", fig(b["wall"], "{:.2f}"), fig(c["wall"], "{:.2f}"), ratio("wall")],
            ["1 GiB file: peak resident memory (MiB)", fig(b["rss"], "{:.0f}"), fig(c["rss"], "{:.0f}"),
             ratio("rss")],
            ["1 KiB page, 500 sequential fetches: time per fetch (ms)", fig(b["per"], "{:.2f}"),
             fig(c["per"], "{:.2f}"), ratio("per")]]
    report.append(table("brevin against curl -s -o FILE (nginx on 127.0.0.1; 3 runs each)",
                        ["what", "brevin", "curl", "ratio"], rows))


# ------------------------------------------------------------------ moltrin against memhog, stress-ng
def bench_moltrin(report):
    meminfo = os.path.join(WORK, "meminfo")
    plans = [(1, 3), (4, 2), (8, 2)]   # GiB, runs
    rows, rates = [], {}
    for gib, runs in plans:
        size = gib << 30
        with open(meminfo, "w") as f:
            f.write(f"MemTotal: {size * 4 // 3 // 1024} kB\n")   # three quarters of it is the size
        tools = {
            "moltrin": ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                        'mount --bind "$0" /proc/meminfo && exec "$1"', meminfo, MOLTRIN],
            "memhog": ["memhog", f"{gib}g"],
            "stress-ng": ["stress-ng", "--vm", "1", "--vm-bytes", f"{gib}g", "--vm-ops", "1",
                          "--vm-method", "write64"],
        }
        res = {t: [] for t in tools}
        for _ in range(runs):
            for t, cmd in tools.items():
                res[t].append(timed(cmd))
        for t in tools:
            walls = [r[0] for r in res[t]]
            gibs = [gib / w for w in walls]
            rates.setdefault(t, []).append((gib, statistics.median(gibs)))
            rows.append([f"{gib} GiB" if t == "moltrin" else "", t, fig(walls, "{:.2f}"), fig(gibs, "{:.2f}"),
                         fig([size / 4096 / w / 1e6 for w in walls], "{:.3f}"),
                         fig([r[2] for r in res[t]], "{:.0f}"),
                         fig([r[1] / (1 << 20) for r in res[t]], "{:.2f}"),
                         f"{statistics.median(walls) / min(statistics.median([r[0] for r in res[p]]) for p in tools if p != 'moltrin'):.2f}"
                         if t == "moltrin" else ""])
    for gib, _ in plans:
        mine = dict(rates["moltrin"])[gib]
        best = max(dict(rates[t])[gib] for t in ("memhog", "stress-ng"))
        target(f"moltrin {gib} GiB touch rate", "no slower than the fastest peer",
               f"{mine:.2f} GiB/s against {best:.2f} GiB/s ({mine / best:.2f}x)", mine >= best)
    report.append(table("moltrin against memhog and stress-ng --vm-method write64 (whole run, private "
                        "mount namespace for moltrin)",
                        ["block", "tool", "wall (s)", "GiB/s", "Mpages/s", "minor faults",
                         "peak resident (GiB)", "time vs fastest peer"], rows))
    with open(os.path.join(WORK, "rate.dat"), "w") as f:
        for i, (gib, _) in enumerate(plans):
            f.write(f"\"{gib} GiB\" " + " ".join(f"{rates[t][i][1]:.3f}" for t in ("moltrin", "memhog", "stress-ng"))
                    + "\n")


def plots():
    gp = f"""set terminal pngcairo size 800,450 font ",10" noenhanced
set output '{OUT}/corvane-latency.png'
set title 'SIGTERM latency: write of the command returned -> handler in the child'
set xlabel 'microseconds (log scale)'; set ylabel 'fraction of commands'
set logscale x; set grid; set key bottom right
plot '{WORK}/term.dat' index 0 with lines lw 2 title 'corvane', '' index 1 with lines lw 2 title 'runsv'
unset logscale x
set output '{OUT}/moltrin-rate.png'
set title 'First-touch rate (median GiB/s of the whole run)'
set xlabel 'block size'; set ylabel 'GiB/s'; set key top left
set style data histograms; set style histogram clustered gap 1; set style fill solid 0.8 border -1
set yrange [0:*]
plot '{WORK}/rate.dat' using 2:xtic(1) title 'moltrin', '' using 3 title 'memhog', '' using 4 title 'stress-ng'
"""
    subprocess.run(["gnuplot"], input=gp, text=True, check=True)


def main():
    t0 = time.monotonic()
    report = []
    try:
        bench_corvane(report)
        bench_brevin(report)
        bench_moltrin(report)
        plots()
    finally:
        for p in started:
            stop(p)
        shutil.rmtree(WORK, ignore_errors=True)
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    machine = (f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {os.cpu_count()} cores "
               f"(`nproc`), {mem:.1f} GiB memory, kernel {platform.release()}; "
               f"whole run {time.monotonic() - t0:.0f} s")
    goals = table("Targets", ["what", "target", "measured", ""], targets)
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "notes.md")) as f:
        notes = f.read()
    with open(os.path.join(OUT, "RESULTS.md"), "w") as f:
        f.write("# Benchmark results\n\n"
                "Written by `bench/run`; see the README for how to read it. "
                f"Measured {machine}.\n\n"
                "Figures are medians over the repeated runs, with the range (lowest-highest) in "
                "brackets; a ratio is ours divided by the peer's, so below 1 is better for times.\n\n"
                + goals + "\n" + "\n".join(report) +
                "\n![SIGTERM latency, corvane against runsv](corvane-latency.png)\n\n"
                "![First-touch rate, moltrin against its peers](moltrin-rate.png)\n\n" + notes)
    print(f"Measured {machine}.")


if __name__ == "__main__":
    main()
