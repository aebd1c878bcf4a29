#!/usr/bin/python3
"""Measures the kit's three tools against the floors of this machine and against the tools people
would use instead, checking that every peer did the same work before its row counts.

Run by bench/run, which installs the peers and builds the release build first. Prints one
markdown table per tool, writes OUT_DIR/RESULTS.md with the plots, and OUT_DIR/results.json with
every figure; when OUT_DIR already holds a results.json of the same plan, it also says which
figures moved since that run.
Usage: bench.py BUILD_DIR OUT_DIR
Environment: BENCH_QUICK=1 for a trial run (fewer repetitions, smaller blocks, about 3 minutes);
BENCH_ONLY=corvane,brevin,moltrin to measure only some of the tools; BENCH_SETTLE=SECONDS for the
pause before each run of a memory-heavy job (3 by default).
"""
import ctypes
import json
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
SIGSTAMP, CTLLAT, FIRSTTOUCH = (os.path.join(BUILD, "bench", t) for t in ("sigstamp", "ctllat", "firsttouch"))
WORK = tempfile.mkdtemp(prefix="kitbench.")
QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
ONLY = set(os.environ.get("BENCH_ONLY", "corvane,brevin,moltrin").split(","))
# How much of everything: commands per round and rounds of them (each controller's median moves
# by half from one round to the next, with where the scheduler puts it, its child and the
# writer), rounds of the rest, restarts (corvane, each peer, bare spawn),
# idle seconds, the fetched body in MiB with its runs, small fetches per run with their runs,
# and the pressure blocks in MiB with their runs.
PLAN = dict(commands=100, command_rounds=3, rounds=2, restarts=20, sv_restarts=2, spawns=20, idle=3,
            body=256, body_runs=3, small=100, small_runs=2, blocks=[(256, 3), (1024, 3)]) if QUICK else \
       dict(commands=400, command_rounds=9, rounds=3, restarts=100, sv_restarts=5, spawns=100, idle=10,
            body=1024, body_runs=5, small=500, small_runs=3, blocks=[(1024, 3), (4096, 3), (8192, 3)])
# This virtual machine hands memory that stays free for 2 s back to its host (free page
# reporting), and taking it back costs up to ten times more than reusing memory freed just before:
# a 1 GiB write into the page cache takes 0.3 s right after a 1 GiB file was deleted, and 2.5 to
# 3.5 s three seconds later. So every memory-heavy run starts after the same pause, when whatever
# the run before it freed has gone back, and no run feeds on what the one before it left.
SETTLE = float(os.environ.get("BENCH_SETTLE", "3"))
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


def timed(args, settle=0.0):
    """Runs a command to its end, `settle` seconds after being called: (wall seconds, peak RSS in
    bytes, minor faults, its output). GNU time reports the peak and the faults of the command
    and of every child it waited for: a child of this script would count the size of the Python
    interpreter it was forked from into its peak."""
    time.sleep(settle)
    usage = os.path.join(WORK, "rusage")
    t0 = time.monotonic()
    p = subprocess.Popen(["/usr/bin/time", "-f", "%M %R", "-o", usage] + args, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    started.append(p)
    out = p.stdout.read()
    p.wait()
    wall = time.monotonic() - t0
    p.stdout.close()
    if p.returncode != 0:
        raise RuntimeError(f"{args[0]} exited with {p.returncode}")
    with open(usage) as f:
        peak, faults = f.read().split()
    return wall, int(peak) * 1024, int(faults), out.decode()


def rotated(items, i):
    """The i-th run takes the tools in another order, so that a drift in the machine's speed
    during a run does not always fall on the same tool."""
    items = list(items)
    k = i % len(items)
    return items[k:] + items[:k]


def pct(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(q * len(v)))]


med = statistics.median
figures = {}   # name -> {"unit", "runs"}: every figure of this run, for results.json


def fig(runs, fmt="{:.1f}", name=None, unit=""):
    """Median over repeated runs and the range (min-max) as the spread; kept under `name`."""
    if name:
        figures[name] = {"unit": unit, "runs": [round(float(x), 6) for x in runs]}
    if len(runs) == 1:
        return fmt.format(runs[0])
    return f"{fmt.format(med(runs))} ({fmt.format(min(runs))}-{fmt.format(max(runs))})"


targets = []   # (what, target, measured, ratio, met)


def target(what, goal, measured, ratio, met):
    targets.append((what, goal, measured, ratio, "met" if met else "**missed**"))


def table(title, head, rows):
    lines = [f"### {title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    text = "\n".join(lines) + "\n"
    print(text, flush=True)
    return text


def label(mib):
    return f"{mib // 1024} GiB" if mib % 1024 == 0 else f"{mib} MiB"


# ------------------------------------------------------------------ corvane against runsv and s6-supervise
# The peers: both take the one-letter commands of a supervise/control FIFO in a service folder.
SUPERVISORS = {"runsv": "runsv", "s6": "s6-supervise"}


def service(name, command):
    """A fresh service folder of that name whose run script execs `command`."""
    svc = os.path.join(WORK, f"svc-{name}")
    shutil.rmtree(svc, ignore_errors=True)
    os.makedirs(svc)
    with open(os.path.join(svc, "run"), "w") as f:
        f.write(f"#!/bin/sh\nexec {command}\n")
    os.chmod(os.path.join(svc, "run"), 0o755)
    return svc


def controller(tool, mode, fifo):
    """Starts corvane or a peer over sigstamp; returns (process, control FIFO)."""
    if tool == "corvane":
        ctl = os.path.join(WORK, "ctl")
        return start([CORVANE, "-fifo", ctl, SIGSTAMP, fifo, mode]), ctl
    svc = service(f"{tool}-{mode}", f"{SIGSTAMP} {fifo} {mode}")
    return start([SUPERVISORS[tool], svc]), os.path.join(svc, "supervise", "control")


def ctllat(tool, mode, count):
    """Runs ctllat once against a fresh controller; {kind: [samples]}."""
    style = "corvane" if tool == "corvane" else "runit"
    fifo = os.path.join(WORK, "stamps")
    if os.path.exists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    keep = os.open(fifo, os.O_RDWR)   # a reader, so that the child's open never blocks
    ctl, path = controller(tool, mode, fifo)
    try:
        waitfor(lambda: os.path.exists(path) and children(ctl.pid))
        kid = children(ctl.pid)[0]
        waitfor(lambda: open(f"/proc/{kid}/comm").read().strip() == "sigstamp")
        if style == "runit" and mode == "restart":
            time.sleep(1.1)   # runsv holds back a service that ran for less than a second
        oncpu = lambda: int(open(f"/proc/{ctl.pid}/schedstat").read().split()[0])
        before = oncpu()
        res = subprocess.run([CTLLAT, style, mode, path, fifo, str(kid), str(count)],
                             capture_output=True, text=True, timeout=120, check=True)
        # The controller's own time on a CPU for each command, its child's signals included.
        out = {"cpu": [(oncpu() - before) / 1000.0 / (count * (3 if mode == "term" else 1))]}
        for kind, ns in (l.split() for l in res.stdout.splitlines()):
            out.setdefault(kind, []).append(int(ns) / 1000.0)
        return out
    finally:
        for k in children(ctl.pid):
            os.kill(k, signal.SIGKILL)
        stop(ctl)
        os.close(keep)


def inturns(mode, counts, rounds):
    """ctllat of every controller `rounds` times, in turns, each round in another order;
    {tool: {kind: [samples of each round]}}."""
    out = {t: {} for t in counts}
    for i in range(rounds):
        for t in rotated(counts, i):
            for kind, v in ctllat(t, mode, counts[t]).items():
                out[t].setdefault(kind, []).append(v)
    return out


def beside(runs, name, fmt="{:.1f}"):
    """The cells of a row: corvane's figure, each peer's, and corvane's ratio to the peer with
    the lower median."""
    best = min(SUPERVISORS, key=lambda t: med(runs[t]))
    return [fig(runs["corvane"], fmt, f"corvane {name}", "us"),
            *(fig(runs[t], fmt, f"{SUPERVISORS[t]} {name}", "us") for t in SUPERVISORS),
            f"{med(runs['corvane']) / med(runs[best]):.2f} ({SUPERVISORS[best]})"], best


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
    procs = {"corvane": start([CORVANE, "-fifo", os.path.join(WORK, "idle"), "sleep", "1000"])}
    for tool in SUPERVISORS:
        procs[tool] = start([SUPERVISORS[tool], service(f"{tool}-idle", "sleep 1000")])
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


def bench_corvane(report, plot):
    n, rounds = PLAN["commands"], PLAN["rounds"]
    tools = ["corvane", *SUPERVISORS]
    lat = inturns("term", {t: n for t in tools}, PLAN["command_rounds"])
    rows = []
    for kind, what in (("term", "kill/`t`: write returned -> SIGTERM handler"),
                       ("stop", "pause/`p`: write returned -> child stopped"),
                       ("cont", "resume/`c`: write returned -> child running")):
        for q, qname in ((0.5, "median"), (0.99, "p99"), (1.0, "max")):
            per = {t: [pct(r, q) for r in lat[t][kind]] for t in tools}
            cells, best = beside(per, f"{kind} latency {qname}")
            rows.append([what if qname == "median" else "", qname, *cells])
            if qname != "max":
                m, b = med(per["corvane"]), med(per[best])
                target(f"corvane {kind} latency, {qname}", "at most the better peer's",
                       f"{m:.1f} us against {b:.1f} us ({SUPERVISORS[best]})", f"{m / b:.2f} x {SUPERVISORS[best]}", m <= b)
    cpu = {t: [r[0] for r in lat[t]["cpu"]] for t in tools}
    rows.append(["CPU time of the controller for each command, its child's signals included", "median",
                 *beside(cpu, "CPU time per command")[0]])
    # The distribution of every SIGTERM latency, for the plot.
    with open(os.path.join(WORK, "term.dat"), "w") as f:
        for t in tools:
            v = sorted(x for r in lat[t]["term"] for x in r)
            for i, x in enumerate(v):
                f.write(f"{x} {(i + 1) / len(v)}\n")
            f.write("\n\n")

    per = lambda runs: [med(r) for r in runs]
    rs = {t: per(v["restart"]) for t, v in
          inturns("restart", {"corvane": PLAN["restarts"], **{t: PLAN["sv_restarts"] for t in SUPERVISORS}},
                  rounds).items()}
    fl = per([spawnfloor(PLAN["spawns"]) for _ in range(rounds)])
    m, f = med(rs["corvane"]), med(fl)
    rows.append(["restart: old child's exit -> new child's main", "median", *beside(rs, "restart", "{:.0f}")[0]])
    rows.append(["floor: posix_spawn of the same child -> its main", "median",
                 fig(fl, "{:.0f}", "floor: posix_spawn of the child", "us"), *([""] * len(SUPERVISORS)), ""])
    target("corvane restart latency, median", "at most the floor + 200 us",
           f"{m:.0f} us against a floor of {f:.0f} us: floor {m - f:+.0f} us",
           f"{m / f:.2f} x floor", m <= f + 200)
    idle_runs = idle(PLAN["idle"])
    target(f"corvane idle wake-ups over {PLAN['idle']} s", "0", f"{idle_runs['corvane'][1]} context switches",
           "-", idle_runs["corvane"][1] == 0)
    for i, what in enumerate(("CPU ticks", "context switches")):
        rows.append([f"idle {PLAN['idle']} s, sleeping child: {what}", "",
                     *(fig([idle_runs[t][i]], "{}", f"{SUPERVISORS.get(t, t)} idle {what}") for t in tools), ""])
    report.append(table(f"corvane against runsv, s6-supervise and the floor (microseconds; in turns, "
                        f"{PLAN['command_rounds']} runs of {n} commands each, {rounds} runs of "
                        f"{PLAN['restarts']} restarts of corvane and {PLAN['sv_restarts']} of each peer, each "
                        "restart 1.1 s after the one before, which runsv holds back when its service ran under "
                        "a second; s6-supervise holds back every restart by about a second, and its row includes "
                        "that; both peers start the child through its run script, /bin/sh; "
                        f"{PLAN['spawns']} bare spawns; ratio: corvane / the better peer)",
                        ["what", "figure", "corvane", "runsv", "s6-supervise", "ratio"], rows))
    ms = lambda runs: (med(runs) / 1000, min(runs) / 1000, max(runs) / 1000)
    plot["restart"] = [("floor: spawn", *ms(fl)), ("corvane", *ms(rs["corvane"])),
                       *((SUPERVISORS[t], *ms(rs[t])) for t in SUPERVISORS)]
    plot["restart-target"] = (f + 200) / 1000


# ------------------------------------------------------------------ brevin against its floor and curl
def freeport():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def testca():
    """A test CA and a certificate from it for 127.0.0.1 (WORK/tls.crt, tls.key), and a copy of
    the system's /etc/ssl/certs with that CA added as update-ca-certificates would add it: in
    the bundle and as a hashed link. Returns the copy's path; the machine's store is untouched."""
    key = ["openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    w = lambda n: os.path.join(WORK, n)
    for args in (key + ["-x509", "-days", "2", "-subj", "/CN=bench test CA", "-keyout", w("ca.key"), "-out", w("ca.crt")],
                 key + ["-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", w("tls.key"),
                        "-out", w("tls.csr")],
                 ["openssl", "x509", "-req", "-in", w("tls.csr"), "-CA", w("ca.crt"), "-CAkey", w("ca.key"),
                  "-days", "2", "-copy_extensions", "copy", "-out", w("tls.crt")]):
        subprocess.run(args, check=True, capture_output=True)
    store = w("certs")
    shutil.copytree("/etc/ssl/certs", store, symlinks=True)
    ca = open(w("ca.crt")).read()
    with open(os.path.join(store, "ca-certificates.crt"), "a") as f:
        f.write(ca)
    h = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", w("ca.crt")], check=True,
                       capture_output=True, text=True).stdout.strip()
    shutil.copy(w("ca.crt"), os.path.join(store, h + ".0"))
    return store


def inside(store, work):
    """work() in a child process in a private mount namespace whose /etc/ssl/certs is `store`,
    made once for the whole series; its result comes back as JSON."""
    rd, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(rd)
            libc = ctypes.CDLL(None, use_errno=True)
            if (libc.unshare(0x00020000) or   # CLONE_NEWNS
                    libc.mount(None, b"/", None, 0x4000 | 0x40000, None) or   # MS_REC | MS_PRIVATE
                    libc.mount(store.encode(), b"/etc/ssl/certs", None, 0x1000, None)):   # MS_BIND
                raise OSError(ctypes.get_errno(), "private mount namespace")
            os.write(wr, json.dumps(work()).encode())
            os._exit(0)
        except BaseException as e:
            print(f"bench: the HTTPS series failed: {e}", file=sys.stderr, flush=True)
            os._exit(1)
    os.close(wr)
    data = b""
    while chunk := os.read(rd, 1 << 16):
        data += chunk
    os.close(rd)
    if os.waitpid(pid, 0)[1] != 0:
        raise RuntimeError("the HTTPS series failed")
    return json.loads(data)


def bare(args):
    """The wall time of one run of a command as a bare process: spawned, waited for, nothing
    around it. Fails when the command does."""
    t0 = time.monotonic()
    pid = os.posix_spawnp(args[0], args, os.environ)
    _, status = os.waitpid(pid, 0)
    wall = time.monotonic() - t0
    if status != 0:
        raise RuntimeError(f"{args[0]} exited with status {status}")
    return wall


def pairs(fetchers, url, body, out):
    """PLAN["small"] pairs of fetches of `url`, one by each fetcher in turns (the first of a pair
    alternating), each checked to have written `body`: {fetcher: {"times", "bad"}}."""
    got = {t: {"times": [], "bad": []} for t in fetchers}
    for i in range(PLAN["small"]):
        for t in rotated(fetchers, i):
            got[t]["times"].append(bare(fetchers[t](url)))
            with open(out, "rb") as f:
                if f.read() != body:
                    got[t]["bad"].append("not the same work: a 1 KiB page differs from the served one")
            os.unlink(out)
    return got


def memcgroup(limit):
    """A memory cgroup of the bench's own, below the one this process is in, limited to `limit`
    bytes (memory.limit_in_bytes in cgroup v1, memory.max in v2): (its folder, "") or (None, why
    not). Nothing above it is changed; the bench removes it at the end."""
    with open("/proc/self/cgroup") as f:
        lines = [line.rstrip("\n").split(":", 2) for line in f]
    v1 = [path for _, ctl, path in lines if "memory" in ctl.split(",")]
    v2 = [path for h, ctl, path in lines if h == "0" and not ctl]
    if v1:
        base, knob = "/sys/fs/cgroup/memory" + v1[0], "memory.limit_in_bytes"
    elif v2:
        base, knob = "/sys/fs/cgroup" + v2[0], "memory.max"
    else:
        return None, "no cgroup of this process"
    d = os.path.join(base, f"kitbench.{os.getpid()}")
    try:
        os.mkdir(d)
    except OSError as e:
        return None, f"cannot make a cgroup under {base}: {e.strerror}"
    try:
        with open(os.path.join(d, knob), "w") as f:
            f.write(str(limit))
        return d, ""
    except OSError as e:
        os.rmdir(d)
        return None, f"cannot limit the memory of {d} ({knob}): {e.strerror}"


def incgroup(cg, args):
    """args, run by a shell that first moves itself into the cgroup `cg`."""
    return ["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', cg] + args


def bench_brevin(report, plot):
    size, runs = PLAN["body"] << 20, PLAN["body_runs"]
    site = os.path.join(WORK, "site")
    os.makedirs(site)
    big, small = os.path.join(site, "big"), os.path.join(site, "small")
    # Random bytes, so that a fetcher that lost, moved or zeroed any part of the body shows.
    with open(big, "wb") as f:
        for _ in range(size >> 24):
            f.write(os.urandom(1 << 24))
    smallbody = os.urandom(1024)
    with open(small, "wb") as f:
        f.write(smallbody)
    port, tport = freeport(), freeport()
    store = testca()
    conf = os.path.join(WORK, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off; master_process off; worker_processes 1;
error_log {WORK}/nginx-error.log; pid {WORK}/nginx.pid;
events {{ worker_connections 64; }}
http {{ access_log off; sendfile on; client_body_temp_path {WORK}/ngx; proxy_temp_path {WORK}/ngx;
  fastcgi_temp_path {WORK}/ngx; uwsgi_temp_path {WORK}/ngx; scgi_temp_path {WORK}/ngx;
  server {{ listen 127.0.0.1:{port}; root {site}; }}
  server {{ listen 127.0.0.1:{tport} ssl; root {site}; ssl_certificate {WORK}/tls.crt;
    ssl_certificate_key {WORK}/tls.key; }} }}
""")
    nginx = start(["nginx", "-p", WORK, "-c", conf])
    # Every output goes to the same folder, the floor's write included.
    out = os.path.join(WORK, "fetched")
    bigurl, smallurl = f"http://127.0.0.1:{port}/big", f"http://127.0.0.1:{port}/small"
    tlsurl = f"https://127.0.0.1:{tport}/small"
    fetchers = {"brevin": lambda url: [BREVIN, "-o", out, url],
                "curl": lambda url: ["curl", "-s", "-o", out, url]}
    # The floor: the transfer alone, and the write of as many bytes into a new file in the same
    # folder, in writes of 64 KiB from one buffer, as a fetcher that streams the body does.
    jobs = dict(fetchers, transfer=lambda url: ["curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", url],
                write=lambda url: ["dd", "if=/dev/zero", f"of={out}", "bs=64K", f"count={size >> 16}", "status=none"])
    # Both fetchers again, each in a memory cgroup of a quarter of the body: the page cache of the
    # file counts against the limit, as in a container.
    limit = size // 4
    cg, nocg = memcgroup(limit)
    limited = {t + " limited": (lambda f: lambda url: incgroup(cg, f(url)))(f) for t, f in fetchers.items()} if cg else {}
    res = {t: {"wall": [], "rss": [], "bad": []} for t in list(jobs) + list(limited) + ["start"]}
    try:
        def listening():
            try:
                socket.create_connection(("127.0.0.1", port)).close()
                return True
            except OSError:
                return False
        waitfor(listening)
        for series in (jobs, limited):
            for i in range(runs):
                for t in rotated(series, i):
                    try:
                        wall, rss, _, text = timed(series[t](bigurl), SETTLE)
                    except RuntimeError as e:   # a fetcher killed in the cgroup is a result
                        res[t]["bad"].append(f"failed: {e}")
                        continue
                    r = res[t]
                    r["wall"].append(wall)
                    r["rss"].append(rss / (1 << 20))
                    if t == "transfer":
                        if int(text or 0) != size:
                            r["bad"].append(f"not the same work: received {text} of {size} bytes")
                    elif os.path.getsize(out) != size:
                        r["bad"].append(f"not the same work: wrote {os.path.getsize(out)} of {size} bytes")
                    elif t != "write" and subprocess.run(["cmp", "-s", out, big]).returncode != 0:
                        r["bad"].append("not the same work: the file differs from the served one")
                    if os.path.exists(out):
                        os.unlink(out)
        # Small pages, as pairs: brevin and curl one after the other (the order alternating),
        # each fetch a bare process; the ratio of each pair, then their median. The HTTPS
        # series runs in one private mount namespace that sees the test CA, made once for it.
        for i in range(PLAN["small_runs"]):
            for url, key in ((smallurl, "http"), (tlsurl, "https")):
                got = inside(store, lambda: pairs(fetchers, url, smallbody, out)) if key == "https" else \
                    pairs(fetchers, url, smallbody, out)
                for t in fetchers:
                    res[t].setdefault(key, []).append(got[t])
                res["brevin"].setdefault(key + " ratios", []).extend(
                    b / c for b, c in zip(got["brevin"]["times"], got["curl"]["times"]))
            res["start"].setdefault("http", []).append(
                {"times": [bare(["/bin/true"]) for _ in range(PLAN["small"])], "bad": []})
    finally:
        stop(nginx)
        if cg:
            os.rmdir(cg)

    b, c, tr, wr = (res[t] for t in ("brevin", "curl", "transfer", "write"))
    same = lambda r: r["bad"][0] if r["bad"] else "yes"
    walls = lambda r, fmt, name: fig(r["wall"], fmt, name, "s") if r["wall"] else "-"
    # The transfer, then the write: what a fetcher that takes the bytes and writes them, one
    # piece after the other on one thread, cannot go below.
    floor = med(tr["wall"]) + med(wr["wall"])
    lo, hi = min(tr["wall"]) + min(wr["wall"]), max(tr["wall"]) + max(wr["wall"])
    # A sum of medians, not a run of its own: kept as (lowest sum, sum, highest sum).
    figures["brevin floor: transfer, then write"] = {"unit": "s", "runs": [round(lo, 6), round(floor, 6), round(hi, 6)]}
    name, lname = label(PLAN["body"]), label(limit >> 20)
    vs = lambda r: f"{med(r['wall']) / floor:.2f}" if r["wall"] else ""
    rows = [[f"brevin -o FILE", fig(b["wall"], "{:.2f}", f"brevin {name} wall", "s"),
             fig(b["rss"], "{:.0f}", f"brevin {name} peak resident", "MiB"), same(b), vs(b)],
            [f"curl -s -o FILE", fig(c["wall"], "{:.2f}", f"curl {name} wall", "s"),
             fig(c["rss"], "{:.0f}", f"curl {name} peak resident", "MiB"), same(c), vs(c)],
            ["floor: the transfer alone, curl -s -o /dev/null", fig(tr["wall"], "{:.2f}", "floor: transfer", "s"),
             fig(tr["rss"], "{:.0f}"), same(tr), ""],
            [f"floor: write of {name} to a new file in the same folder, 64 KiB a write (dd)",
             fig(wr["wall"], "{:.2f}", f"floor: write of {name}", "s"), "", same(wr), ""],
            ["**floor: the transfer, then the write** (sum of medians; range of the sums)",
             f"**{floor:.2f}** ({lo:.2f}-{hi:.2f})", "", "", "1.00"]]
    for t in ("brevin", "curl"):
        r = res.get(t + " limited")
        if r is None:
            rows.append([f"{t} in a memory cgroup of {lname}", "not measured: " + nocg, "", "", ""])
        else:
            rows.append([f"{t} {'-s ' if t == 'curl' else ''}-o FILE in a memory cgroup of {lname}", walls(r, "{:.2f}", f"{t} {name} in {lname} wall"),
                         fig(r["rss"], "{:.0f}") if r["rss"] else "-", same(r), vs(r)])
    report.append(table(f"brevin, {name} from nginx on 127.0.0.1, against its floor and curl ({runs} runs each, "
                        f"each {SETTLE:g} s after the run before; last column: wall time / floor)",
                        ["what", "wall (s)", "peak resident (MiB)", "same work", "/ floor"], rows))
    ratios = [x / y for x, y in zip(b["wall"], c["wall"])]
    r = med(ratios)
    target(f"brevin {name} wall time against curl", "at most 1.1 x curl (median of the ratios of pairs)",
           f"{med(b['wall']):.2f} s against {med(c['wall']):.2f} s; pairs {fig(ratios, '{:.2f}', f'brevin/curl {name}')}"
           + ("" if not b["bad"] else f"; {b['bad'][0]}"), f"{r:.2f} x curl", r <= 1.1 and not b["bad"] and not c["bad"])
    peak = max(b["rss"])
    target(f"brevin {name} peak memory", "64 MiB resident at most, whatever the body's size",
           f"{peak:.0f} MiB at the highest of {runs} runs", f"{peak / 64:.2f} of the allowance", peak <= 64)
    if limited:
        lb, lc = res["brevin limited"], res["curl limited"]
        lr = [x / y for x, y in zip(lb["wall"], lc["wall"])]
        target(f"brevin {name} in a memory cgroup of {lname}", "writes the body whole in every run, as curl does",
               f"brevin {len(lb['wall'])} of {runs} runs, {same(lb)}; curl {len(lc['wall'])} of {runs}, {same(lc)}"
               + (f"; pairs {fig(lr, '{:.2f}', f'brevin/curl {name} in {lname}')}" if lr else ""),
               f"{med(lr):.2f} x curl" if lr else "-", not lb["bad"] and not lc["bad"] and len(lb["wall"]) == runs)
    else:
        target(f"brevin {name} in a memory cgroup of {lname}", "writes the body whole in every run, as curl does",
               "not measured: " + nocg, "-", False)
    rows = []
    ms = lambda runs: [1000 * med(x["times"]) for x in runs]
    for key, what, goal in (("http", "HTTP", 1.0), ("https", "HTTPS, test CA in the private store", 0.5)):
        rs = b[key + " ratios"]
        bad = [x for t in fetchers for run in res[t][key] for x in run["bad"]]
        rows.append([f"1 KiB page over {what}: median time of a fetch (ms), {PLAN['small']} pairs a run",
                     fig(ms(b[key]), "{:.2f}", f"brevin 1 KiB {key}", "ms"),
                     fig(ms(c[key]), "{:.2f}", f"curl 1 KiB {key}", "ms"),
                     f"{med(rs):.2f} ({pct(rs, 0.1):.2f}-{pct(rs, 0.9):.2f})", bad[0] if bad else "yes, both"])
        figures[f"brevin/curl 1 KiB {key}"] = {"unit": "", "runs": [round(med(rs), 4)]}
        target(f"brevin 1 KiB fetch over {key.upper()} against curl", f"at most {goal:g} x curl (median of the "
               "ratios of pairs)", f"{med(ms(b[key])):.2f} ms against {med(ms(c[key])):.2f} ms",
               f"{med(rs):.2f} x curl", med(rs) <= goal and not bad)
    rows.append(["floor: start and end of a bare process (/bin/true), median (ms)",
                 fig(ms(res["start"]["http"]), "{:.2f}", "floor: bare process", "ms"), "", "", ""])
    report.append(table(f"brevin against curl -s -o FILE, small pages ({PLAN['small_runs']} runs; ratio: median of "
                        "the ratios of the pairs, 10th-90th percentile in brackets)",
                        ["what", "brevin", "curl", "ratio", "same work"], rows))
    span = lambda v: (med(v), min(v), max(v))
    plot["brevin"] = dict(transfer=med(tr["wall"]), write=med(wr["wall"]), curl=med(c["wall"]),
                          floor=floor, lo=lo, hi=hi, name=name,
                          bars=[(t, *span(res[t]["wall"])) for t in ("brevin", "curl") if not res[t]["bad"]])


# ------------------------------------------------------------------ moltrin against its floor, memhog, stress-ng
PEERS = ("memhog", "stress-ng")


def bench_moltrin(report, plot):
    meminfo = os.path.join(WORK, "meminfo")
    rows, rates = [], []
    for mib, runs in PLAN["blocks"]:
        size = mib << 20
        with open(meminfo, "w") as f:
            f.write(f"MemTotal: {size * 4 // 3 // 1024} kB\n")   # three quarters of it is the size
        # moltrin learns the size from /proc/meminfo, so it runs in a private mount namespace
        # where that file says what we want; every other row runs the same way, so that all of
        # them pay the same 10 to 20 ms for it.
        ns = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              'mount --bind "$0" /proc/meminfo && exec "$@"', meminfo]
        tools = {
            "floor": [FIRSTTOUCH, str(size)],
            "moltrin": [MOLTRIN],
            "memhog": ["memhog", f"{mib}m"],
            # --vm-keep maps the block once; "normal" stops the random advice of every run
            # (MADV_DONTNEED, MADV_PAGEOUT...); one write64 operation writes 1 MiB of it.
            "stress-ng": ["stress-ng", "--vm", "1", "--vm-bytes", f"{mib}m", "--vm-keep", "--vm-madvise",
                          "normal", "--vm-method", "write64", "--vm-ops", str(mib)],
        }
        res = {t: [] for t in tools}
        for i in range(runs):
            for t in rotated(tools, i):
                res[t].append(timed(ns + tools[t], SETTLE))
        gib = mib / 1024
        rate = {t: [gib / r[0] for r in res[t]] for t in tools}
        bad = {}
        for t in tools:
            worst = max(res[t], key=lambda r: abs(r[1] - size))[1]
            if abs(worst - size) > 0.02 * size:
                bad[t] = f"not the same work: peak resident {worst / (1 << 30):.2f} GiB of {gib:g} GiB"
        floor = med(rate["floor"])
        for t in tools:
            rows.append([label(mib) if t == "floor" else "", "floor: first-touch loop" if t == "floor" else t,
                         fig([r[0] for r in res[t]], "{:.2f}"),
                         fig(rate[t], "{:.2f}", f"{t} {label(mib)} rate", "GiB/s"),
                         fig([r[2] for r in res[t]], "{:.0f}"),
                         fig([r[1] / (1 << 30) for r in res[t]], "{:.2f}"), bad.get(t, "yes"),
                         f"{med(rate[t]) / floor:.2f}"])
        mine = med(rate["moltrin"])
        r = mine / floor
        target(f"moltrin {label(mib)} touch rate against the floor", "at least 0.95 x the first-touch loop",
               f"{mine:.2f} GiB/s against {floor:.2f} GiB/s" + (f"; {bad['moltrin']}" if "moltrin" in bad else ""),
               f"{r:.2f} x floor", r >= 0.95 and "moltrin" not in bad and "floor" not in bad)
        peers = [p for p in PEERS if p not in bad]
        if peers:
            best = max(peers, key=lambda p: med(rate[p]))
            r = mine / med(rate[best])
            target(f"moltrin {label(mib)} touch rate against its peers", "no slower than every peer doing the same work",
                   f"{mine:.2f} GiB/s against {best} {med(rate[best]):.2f} GiB/s", f"{r:.2f} x {best}",
                   r >= 1 and "moltrin" not in bad)
        else:
            target(f"moltrin {label(mib)} touch rate against its peers", "no slower than every peer doing the same work",
                   "no peer did the same work", "-", "moltrin" not in bad)
        rates.append((label(mib), [None if t in bad else (med(rate[t]), min(rate[t]), max(rate[t]))
                                   for t in tools]))
    report.append(table(f"moltrin against the floor, memhog and stress-ng (whole run of each process, each in the "
                        f"same private mount namespace, {SETTLE:g} s after the run before; last column: rate / floor)",
                        ["block", "tool", "wall (s)", "GiB/s", "minor faults", "peak resident (GiB)", "same work",
                         "/ floor"], rows))
    plot["moltrin"] = rates


# ------------------------------------------------------------------ plots, moves, the report
COLORS = {"floor": 0x999999, "moltrin": 0x1f77b4, "brevin": 0x1f77b4, "corvane": 0x1f77b4,
          "memhog": 0xff7f0e, "curl": 0xff7f0e, "runsv": 0xff7f0e, "stress-ng": 0x2ca02c,
          "s6-supervise": 0x2ca02c}


def plots(plot):
    W = WORK
    panels = []
    if "moltrin" in plot:
        with open(f"{W}/rate.dat", "w") as f:
            for name, vals in plot["moltrin"]:
                f.write(f'"{name}" ' + " ".join("NaN NaN NaN" if v is None else "%.3f %.3f %.3f" % v
                                                 for v in vals) + "\n")
        panels.append(f"""set key default; set title 'moltrin: first-touch rate, GiB/s (higher is better)'
set style data histograms; set style histogram errorbars gap 1 lw 1; set style fill solid 0.8 border -1
set yrange [0:*]; set key below; set xtics nomirror
plot '{W}/rate.dat' using 2:3:4:xtic(1) title 'floor: first-touch loop' lc rgb '#999999', \\
     '' using 5:6:7 title 'moltrin' lc rgb '#1f77b4', '' using 8:9:10 title 'memhog' lc rgb '#ff7f0e', \\
     '' using 11:12:13 title 'stress-ng' lc rgb '#2ca02c'
""")
    if "brevin" in plot:
        p = plot["brevin"]
        with open(f"{W}/brevin.dat", "w") as f:
            for i, (name, m, lo, hi) in enumerate(p["bars"]):
                f.write(f"{i + 1} {m:.3f} {lo:.3f} {hi:.3f} {COLORS[name]} {name}\n")
        n = len(p["bars"]) + 1
        panels.append(f"""set key default; set title 'brevin, {p["name"]}: wall time, s (lower is better)'
set style data lines; set style fill solid 0.8 border -1; set boxwidth 0.6; set yrange [0:*]; set xrange [-0.6:{n - 0.4}]
set xtics ('floor' 0{"".join(f", '{b[0]}' {i + 1}" for i, b in enumerate(p["bars"]))}) nomirror
set key below
plot '+' using (0):({p["floor"]}) every ::0::0 with boxes lc rgb '#cccccc' title 'floor: write to a file', \\
     '+' using (0):({p["transfer"]}) every ::0::0 with boxes lc rgb '#666666' title 'floor: transfer', \\
     '+' using (0):({p["floor"]}):({p["lo"]}):({p["hi"]}) every ::0::0 with yerrorbars lc rgb 'black' pt 0 notitle, \\
     '{W}/brevin.dat' using 1:2:5 with boxes lc rgb variable notitle, \\
     '' using 1:2:3:4 with yerrorbars lc rgb 'black' pt 0 notitle, \\
     {1.10 * p["curl"]} with lines dt 2 lw 2 lc rgb 'red' title 'target: 1.10 x curl'
""")
    if "restart" in plot:
        with open(f"{W}/restart.dat", "w") as f:
            for i, (name, m, lo, hi) in enumerate(plot["restart"]):
                f.write(f'{i} {m:.3f} {lo:.3f} {hi:.3f} {COLORS[name.split(":")[0]]} "{name}"\n')
        panels.append(f"""set key default; set title 'corvane: restart, ms (lower is better)'
set style data lines; set style fill solid 0.8 border -1; set boxwidth 0.6; set yrange [0:*]; set xrange [-0.6:3.6]
set xtics nomirror; set key below
plot '{W}/restart.dat' using 1:2:5:xtic(6) with boxes lc rgb variable notitle, \\
     '' using 1:2:3:4 with yerrorbars lc rgb 'black' pt 0 notitle, \\
     {plot["restart-target"]} with lines dt 2 lw 2 lc rgb 'red' title 'target: floor + 0.2 ms'
""")
    gp = f"""set terminal pngcairo size {420 * max(1, len(panels))},460 font ",10" noenhanced
set output '{OUT}/floors.png'
set grid ytics
set multiplot layout 1,{max(1, len(panels))}
""" + "".join(panels) + "unset multiplot\n"
    if "restart" in plot:
        gp += f"""reset
set terminal pngcairo size 800,450 font ",10" noenhanced
set output '{OUT}/corvane-latency.png'
set title 'SIGTERM latency: write of the command returned -> handler in the child'
set xlabel 'microseconds (log scale)'; set ylabel 'fraction of commands'
set logscale x; set grid; set key bottom right
plot '{W}/term.dat' index 0 with lines lw 2 title 'corvane', '' index 1 with lines lw 2 title 'runsv', \\
     '' index 2 with lines lw 2 title 's6-supervise'
"""
    if panels:
        subprocess.run(["gnuplot"], input=gp, text=True, check=True)


def moved(previous):
    """The figures whose median moved by 5% or more since the previous run of the same plan."""
    rows, common = [], 0
    for name, now in figures.items():
        before = previous.get("figures", {}).get(name)
        if not before or not before["runs"] or not now["runs"]:
            continue
        common += 1
        a, b = med(before["runs"]), med(now["runs"])
        if a == b:
            continue
        change = (b - a) / abs(a) if a else float("inf")
        if abs(change) < 0.05:
            continue
        apart = max(now["runs"]) < min(before["runs"]) or min(now["runs"]) > max(before["runs"])
        num = lambda x: f"{x:.0f}" if abs(x) >= 100 else f"{x:.3g}"
        rows.append((not apart, -abs(change), [name, f"{num(a)} {now['unit']}", f"{num(b)} {now['unit']}",
                                               f"{change * 100:+.0f}%" if a else "from 0", "no" if apart else "yes"]))
    rows.sort(key=lambda r: r[:2])
    return table(f"Moved since the previous run ({previous.get('when', '?')}): {len(rows)} of {common} figures "
                 "by 5% or more",
                 ["figure", "before", "now", "change", "ranges overlap"], [r[2] for r in rows])


def main():
    t0 = time.monotonic()
    previous = {}
    try:
        with open(os.path.join(OUT, "results.json")) as f:
            previous = json.load(f)
    except (OSError, ValueError):
        pass
    report, plot = [], {}
    try:
        for name, run in (("corvane", bench_corvane), ("brevin", bench_brevin), ("moltrin", bench_moltrin)):
            if name in ONLY:
                run(report, plot)
        plots(plot)
    finally:
        for p in started:
            stop(p)
        shutil.rmtree(WORK, ignore_errors=True)
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    when = time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())
    machine = (f"{when}; {os.cpu_count()} cores (`nproc`), {mem:.1f} GiB memory, kernel {platform.release()}; "
               f"whole run {time.monotonic() - t0:.0f} s" + ("; a quick trial run (BENCH_QUICK)" if QUICK else ""))
    plan = {"plan": json.loads(json.dumps(PLAN)), "tools": sorted(ONLY)}
    if previous.get("plan") != plan["plan"]:
        if previous:
            print("The previous results.json is of another plan: nothing to compare with.")
        previous = {}
    before = {t["what"]: f"{t['ratio']}, {t['result']}" for t in previous.get("targets", [])}
    goals = table("Targets", ["what", "target", "measured", "ratio", ""] + (["previous run"] if previous else []),
                  [t + ((before.get(t[0], ""),) if previous else ()) for t in targets])
    if previous:
        goals += "\n" + moved(previous)
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump(dict(plan, when=when, machine=machine, figures=figures,
                       targets=[dict(zip(("what", "target", "measured", "ratio", "result"), t)) for t in targets]),
                  f, indent=1)
        f.write("\n")
    with open(os.path.join(OUT, "RESULTS.md"), "w") as f:
        f.write("# Benchmark results\n\n"
                "Written by `bench/run`; see the README for how to read it. "
                f"Measured {machine}.\n\n"
                "Figures are medians over the repeated runs, with the range (lowest-highest) in "
                "brackets. Each tool stands beside its floor, the best this machine allows for the same "
                "work, and beside its peers; a peer's row counts only where the bench saw it do the same "
                "work (\"same work\" column).\n\n"
                + goals + "\n" + "\n".join(report) +
                "\n![Each tool against its floor and its peers](floors.png)\n\n"
                + ("![SIGTERM latency, corvane against runsv and s6-supervise](corvane-latency.png)\n\n" if "restart" in plot else "") +
                "Where the time goes, why a target is missed, and how much the figures move from one "
                "run to the next: [notes.md](notes.md).\n")
    print(f"Measured {machine}.")


if __name__ == "__main__":
    main()
