#!/usr/bin/python3
"""Plays the user of a command that opens Cortavia on the simulated fleet.

    run_check.py [--screenshot FILE] [--timeout SECONDS] -- COMMAND [ARGS...]

    e.g. run_check.py --screenshot /tmp/run.png -- bash scripts/run.sh

Starts Xvfb on a free display, a D-Bus session bus with the accessibility
bus and, when installed, openbox; runs COMMAND on that display (its output
passes through, each line after "| "); then, as its user: waits for
Cortavia's main window over AT-SPI, presses Scan, waits for 2 transmitters
in the TX list and 8 receivers in the RX list, saves the screenshot, presses
Escape and requires COMMAND to end with status 0 and no Cortavia window left.

The time-out bounds the whole run, the build that COMMAND may do first
included. On the first failure it prints the reason, a screenshot and the
tails of the logs and exits 1; it stops everything it started on every exit.
"""

import argparse
import collections
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import user_walkthrough as uw  # noqa: E402
from user_walkthrough import WalkFailed, log, wait_for, wait_for_quietly  # noqa: E402

TX_COUNT = 2
RX_COUNT = 8
MAIN_TITLE = "^KAV PM3TA-PM3RA Control Center - "
# run.sh's line once the simulator is up; its state dir proves each Scan press.
FLEET_UP = re.compile(r"wire logs in (\S+?)\)")
SYSTEM_PYTHON = "/usr/bin/python3"


def ensure_pyatspi():
    """pyatspi comes with Debian's python3; another python3 first on PATH
    (pyenv, a venv) hands over to it before anything is started."""
    if importlib.util.find_spec("pyatspi") is None:
        if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) and os.path.exists(SYSTEM_PYTHON):
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(__file__), *sys.argv[1:]])
        print("run_check: python3-pyatspi is not installed (scripts/install-deps.sh installs it)", file=sys.stderr)
        sys.exit(2)


class Command:
    """COMMAND in a session of its own, its output passed through and kept."""

    def __init__(self, argv, env):
        self.argv = argv
        self.tail = collections.deque(maxlen=120)
        self.state_dir = None
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
        self.readers = [threading.Thread(target=self._pump, args=(pipe, out), daemon=True)
                        for pipe, out in ((self.proc.stdout, sys.stdout), (self.proc.stderr, sys.stderr))]
        for r in self.readers:
            r.start()

    def _pump(self, pipe, out):
        for raw in iter(pipe.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.lock:
                self.tail.append(line)
                if self.state_dir is None:
                    m = FLEET_UP.search(line)
                    if m:
                        self.state_dir = m.group(1)
                out.write(f"| {line}\n")
                out.flush()
        pipe.close()

    def status(self):
        return self.proc.poll()

    def running(self, when):
        """Fails when COMMAND has ended; when says at which point."""
        rc = self.proc.poll()
        if rc is not None:
            raise WalkFailed(f"the command ended with status {rc} {when}")

    def output_tail(self, lines=60):
        with self.lock:
            return "\n".join(list(self.tail)[-lines:])

    def stop(self):
        if self.proc.poll() is None:
            # TERM first: testlan.sh removes its namespaces on TERM, not on KILL.
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        if self.proc.poll() is None:
            self.proc.wait()
        for r in self.readers:
            r.join(timeout=3)


def accessibility_bus(env):
    """The accessibility bus address. Cortavia runs in another network
    namespace, where abstract unix sockets of this one cannot be reached,
    so the bus must listen on a path (XDG_RUNTIME_DIR gives it one)."""
    done = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus",
                           "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
    address = done.stdout.decode(errors="replace").strip()
    if done.returncode != 0 or not address.startswith("unix:path="):
        raise WalkFailed(f"the accessibility bus is at {address or done.stderr.decode(errors='replace')!r}: "
                         f"a program in another network namespace cannot reach it (needs unix:path=)")
    return address


def command_env(env):
    """The driver's display and buses; Qt picks its platform (xcb) itself."""
    out = {k: v for k, v in os.environ.items()
           if k not in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "AT_SPI_BUS_ADDRESS")}
    out.update({k: env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")})
    out["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
    return out


def quiet(fn, default=None):
    """fn(), or default while the program's accessibles come and go."""
    try:
        return fn()
    except Exception:
        return default


def x_windows(env, *query):
    done = subprocess.run(["xdotool", "search", *query], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=10)
    return done.stdout.split()


def cortavia_pids():
    """Cortavia processes below this driver, whichever namespace they run in."""
    pids = []
    for pid in uw.descendants(os.getpid()):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == "Cortavia":
                    pids.append(pid)
        except OSError:
            pass
    return pids


def save_shot(env, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    uw.run(["import", "-window", "root", path], env, timeout=20)
    return path


def check(args, procs, env, workdir, deadline, timings, ctx):
    def left(limit):
        rest = deadline - time.monotonic()
        if rest <= 0:
            raise WalkFailed(f"the run took longer than its time-out of {args.timeout:.0f} s")
        return min(limit, rest)

    def step(name):
        timings.append((name, time.monotonic()))
        log(f"step: {name}")

    step("desktop")
    uw.start_desktop(procs, env, workdir)
    log(f"accessibility bus {accessibility_bus(env)}")

    step("command starts")
    log(f"running {' '.join(args.command)}")
    cmd = ctx["cmd"] = Command(args.command, command_env(env))
    procs.started.append(("command", cmd.proc))
    ui = ctx["ui"] = uw.Ui(env, workdir)

    # The first run builds before the window opens: the wait is the run's.
    step("window appears")

    def window():
        cmd.running("before Cortavia's main window appeared")
        return quiet(ui.main_window)
    win = wait_for("Cortavia's main window over AT-SPI", window, left(float("inf")), 0.5)
    scan = ui.control("Scan", "push button")
    ui.wait_ready(win, scan, procs.window_manager, left(60))
    log(f"main window {win.name!r}")

    step("scan")

    def alive():
        cmd.running("while Cortavia's window was open")

    def rows():
        return len(ui.rows("TX list", 3)), len(ui.rows("RX list", 5))
    state = cmd.state_dir
    if state:
        log(f"simulator state in {state}")
        ctx["state"] = state
        presses = uw.press_scan(ui, uw.Wire(state), win, scan, procs.window_manager, alive)
    else:
        log("no simulator state dir in the command's output: a press is proven by rows in the lists")
        presses = uw.press_scan(ui, None, win, scan, procs.window_manager, alive,
                                arrived=lambda: any(rows()), proof="a row in the lists")
    log(f"scan: the press reached the program after {presses} press(es)")

    # The node list fills both lists at once; a wrong count is reported
    # once the lists have held still for a few seconds.
    step("lists fill")
    seen = {"counts": None, "since": time.monotonic()}

    def settled():
        alive()
        now = rows()
        if now != seen["counts"]:
            seen["counts"], seen["since"] = now, time.monotonic()
        return now == (TX_COUNT, RX_COUNT) or (any(now) and time.monotonic() - seen["since"] > 5)
    limit = left(60)
    if not wait_for_quietly(settled, limit, 0.2):
        tx, rx = seen["counts"]
        raise WalkFailed(f"scan: after {limit:.0f} s the lists hold {tx} transmitters and {rx} receivers, "
                         f"expected {TX_COUNT} and {RX_COUNT}")
    time.sleep(1)  # rows a late arrival would add
    tx, rx = rows()
    if (tx, rx) != (TX_COUNT, RX_COUNT):
        raise WalkFailed(f"scan: the TX list holds {tx} rows and the RX list {rx}, "
                         f"expected {TX_COUNT} and {RX_COUNT}")
    log(f"TX list: {[r[0].name for r in ui.rows('TX list', 3)]}")
    log(f"RX list: {[r[0].name for r in ui.rows('RX list', 5)]}")
    if args.screenshot:
        log(f"screenshot {save_shot(env, args.screenshot)}")

    step("escape")
    # The key goes to the focused window: the main window must be active.
    def active():
        win.clearCache()
        return win.getState().contains(ui.at.STATE_ACTIVE)
    if not wait_for_quietly(active, left(10), 0.1):
        wid = x_windows(env, "--onlyvisible", "--name", MAIN_TITLE)
        if wid:
            ui.xdo("windowactivate" if procs.window_manager else "windowfocus", "--sync", wid[0].decode())
        wait_for("the main window to be active before Escape", active, left(10), 0.1)
    ui.keys("Escape")

    def closed():
        return cmd.status() is not None or (not ui.mapped() and quiet(ui.main_window) is None)
    if not wait_for_quietly(closed, left(30), 0.1):
        raise WalkFailed(f"Escape did not close the main window within 30 s (window states {ui.states(win)})")
    log("the main window closed")

    step("command ends")
    try:
        rc = cmd.proc.wait(timeout=left(120))
    except subprocess.TimeoutExpired:
        raise WalkFailed("the main window closed, but the command still runs after 120 s") from None
    if rc != 0:
        raise WalkFailed(f"the command ended with status {rc} after the main window closed")
    log("the command ended with status 0")
    left_over = []
    if cortavia_pids():
        left_over.append(f"Cortavia processes {cortavia_pids()}")
    if x_windows(env, "--class", "^Cortavia$"):
        left_over.append("X windows of Cortavia")
    if wait_for_quietly(lambda: quiet(ui.app, True) is None, 10, 0.2) is None:
        left_over.append("Cortavia on the accessibility bus")
    if left_over:
        raise WalkFailed(f"the command ended, but left {', '.join(left_over)}")
    step("end")


def report_failure(args, procs, env, ctx):
    ui, cmd = ctx.get("ui"), ctx.get("cmd")
    if env.get("DISPLAY"):
        if args.screenshot:
            stem, ext = os.path.splitext(args.screenshot)
            path = f"{stem}-failure{ext or '.png'}"
        else:
            fd, path = tempfile.mkstemp(prefix="run_check-failure-", suffix=".png")
            os.close(fd)
        try:
            print(f"screenshot of the failure: {save_shot(env, path)}", file=sys.stderr)
            if ui is not None and quiet(ui.app) is not None:
                # A message box (say, discovery's "No device found") tells why.
                for w in quiet(ui.windows, []):
                    if w is not None and not quiet(lambda: re.match(MAIN_TITLE, w.name)) \
                            and quiet(lambda: ui.showing(w)):
                        print(f"Cortavia shows {quiet(w.getRoleName)} {quiet(lambda: w.name)!r}: "
                              f"{quiet(lambda: ui.labels(w))}", file=sys.stderr)
                tree = os.path.splitext(path)[0] + "-tree.txt"
                ui.dump(tree)
                print(f"accessible tree of Cortavia: {tree}", file=sys.stderr)
        except Exception as e:
            print(f"no screenshot of the failure: {e}", file=sys.stderr)
    if cmd is not None:
        rc = cmd.status()
        print(f"--- command ({' '.join(args.command)}): "
              f"{'still running' if rc is None else f'ended with status {rc}'}; output (tail) ---\n"
              f"{cmd.output_tail()}", file=sys.stderr)
    if ctx.get("state"):
        try:
            with open(os.path.join(ctx["state"], "discovery.log"), errors="replace") as f:
                print(f"--- {ctx['state']}/discovery.log (tail) ---\n{f.read()[-1500:]}", file=sys.stderr)
        except OSError:
            pass
    for name in ("xvfb", "dbus", "at-spi", "openbox"):
        text = procs.log_of(name)
        if text.strip():
            print(f"--- {name} log (tail) ---\n{text[-1500:]}", file=sys.stderr)


def main():
    ap = argparse.ArgumentParser(usage="%(prog)s [--screenshot FILE] [--timeout SECONDS] -- COMMAND [ARGS...]",
                                 description=__doc__.split("\n\n")[0])
    ap.add_argument("--screenshot", metavar="FILE", help="where to save the screen with the filled lists")
    ap.add_argument("--timeout", type=float, default=1500, metavar="SECONDS",
                    help="bound on the whole run, a first build included (default 1500)")
    ap.add_argument("command", nargs=argparse.REMAINDER, help="the command to run, after --")
    args = ap.parse_args()
    if args.command[:1] == ["--"]:
        args.command = args.command[1:]
    if not args.command:
        ap.error("no COMMAND given after --")
    ensure_pyatspi()
    for tool in ("Xvfb", "dbus-daemon", "dbus-send", "xdotool", "import"):
        if shutil.which(tool) is None:
            print(f"run_check: {tool} not found (scripts/install-deps.sh installs it)", file=sys.stderr)
            return 2
    if not os.path.exists(uw.AT_SPI_LAUNCHER):
        print("run_check: at-spi2-core is not installed", file=sys.stderr)
        return 2

    deadline = time.monotonic() + args.timeout
    workdir = tempfile.mkdtemp(prefix="cv-run-check-")
    os.chmod(workdir, 0o700)
    procs = uw.Processes(workdir)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(130))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "DBUS_", "DISPLAY", "XDG_", "WAYLAND"))}
    env["XDG_RUNTIME_DIR"] = workdir
    timings, ctx = [], {}
    status = 1
    try:
        check(args, procs, env, workdir, deadline, timings, ctx)
        status = 0
    except BaseException as e:
        if isinstance(e, SystemExit):
            status = e.code
            print(f"run_check: stopped by a signal (status {status})", file=sys.stderr)
        elif isinstance(e, WalkFailed):
            print(f"FAILED: {e}", file=sys.stderr)
        else:
            traceback.print_exc()
        if not isinstance(e, SystemExit):
            report_failure(args, procs, env, ctx)
    finally:
        # No signal may cut the clean-up short: it removes the namespaces.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if ctx.get("cmd") is not None:
            ctx["cmd"].stop()
        procs.stop_all()
        shutil.rmtree(workdir, ignore_errors=True)

    if status != 0 and timings:
        timings.append(("", time.monotonic()))
    for (name, t0), (_, t1) in zip(timings, timings[1:]):
        print(f"  {name:<16} {t1 - t0:8.2f} s")
    print(f"run check {'passed' if status == 0 else 'FAILED'} in {time.monotonic() - uw.START:.1f} s")
    return status


if __name__ == "__main__":
    sys.exit(main())
