#!/usr/bin/python3
"""A user's walk through Cortavia on a real X display.

Runs inside the workstation namespace of scripts/testlan.sh. Starts Xvfb, a
D-Bus session bus with the accessibility bus, optionally openbox, a simulated
fleet in the endpoints namespace and the real Cortavia program. Controls are
found by their accessible names over AT-SPI, exactly as UI automation would,
and driven with XTest mouse and key events (xdotool). After every step the
simulator's wire log must hold the bytes that step sends, and a screenshot of
the display is saved.

    user_walkthrough.py --cortavia PATH --sim PATH --screens DIR

Uses Debian's python3 with python3-pyatspi; exits non-zero on the first
missing byte, and stops every process it started on every exit.
"""

import argparse
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

PR_SET_CHILD_SUBREAPER = 36
TX_COUNT = 2
RX_COUNT = 4
NEW_HOSTNAME = "lobby-east"
APP_NAME = "Cortavia"
AT_SPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


class WalkFailed(Exception):
    pass


def log(text):
    print(f"[{time.monotonic() - START:6.2f}s] {text}", flush=True)


START = time.monotonic()


# --- processes ---------------------------------------------------------------

def descendants(root):
    """Pids of every living process below root, children first found."""
    parents = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold spaces: the parent pid follows the last ')'.
        parents[int(entry)] = int(stat[stat.rindex(")") + 2:].split()[1])
    found, frontier = [], [root]
    while frontier:
        pid = frontier.pop()
        kids = [p for p, pp in parents.items() if pp == pid]
        found.extend(kids)
        frontier.extend(kids)
    return found


class Processes:
    """Every process of the walk, stopped in reverse order of starting."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.started = []
        # Buses and registries that their launchers leave behind come to
        # this process instead of init, so that the sweep below finds them.
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    def spawn(self, name, argv, env=None, pass_fds=()):
        out = open(os.path.join(self.workdir, f"{name}.log"), "wb")
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, pass_fds=pass_fds,
                                start_new_session=True)
        out.close()
        self.started.append((name, proc))
        return proc

    def log_of(self, name):
        try:
            with open(os.path.join(self.workdir, f"{name}.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stop_all(self):
        for name, proc in reversed(self.started):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        # The accessibility bus launcher starts a bus and the registry of its
        # own; whatever is left below this script goes too, and is reaped.
        for sig in (signal.SIGTERM, signal.SIGKILL):
            for pid in descendants(os.getpid()):
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 3
            while time.monotonic() < deadline:
                try:
                    pid, _ = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    break
                if pid == 0:
                    time.sleep(0.05)
            if not descendants(os.getpid()):
                break
        self.started.clear()


def wait_for(what, predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise WalkFailed(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def wait_for_quietly(predicate, timeout, interval=0.05):
    """What predicate gives once it holds within timeout; None, not a failure, otherwise."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(interval)


def run(argv, env, timeout=10):
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    if done.returncode != 0:
        raise WalkFailed(f"{argv[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return done.stdout


# --- the simulator's wire log ------------------------------------------------

class Wire:
    """Bytes each endpoint received, per connection, read from the state dir."""

    def __init__(self, state_dir):
        self.state_dir = state_dir

    def connections(self, ip):
        d = os.path.join(self.state_dir, ip)
        if not os.path.isdir(d):
            return []
        names = [n for n in os.listdir(d) if n.startswith("conn-") and n.endswith(".bin")]
        names.sort(key=lambda n: int(n[5:-4]))
        out = []
        for n in names:
            with open(os.path.join(d, n), "rb") as f:
                out.append(f.read())
        return out

    def events(self, ip):
        try:
            with open(os.path.join(self.state_dir, ip, "events.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def discovery_queries(self):
        """How many discovery queries the simulator has received so far."""
        try:
            with open(os.path.join(self.state_dir, "discovery.log"), encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if line.startswith("query from "))
        except OSError:
            return 0

    def mark(self, ips):
        return {ip: [len(c) for c in self.connections(ip)] for ip in ips}

    def since(self, mark, ip):
        """Bytes ip received after mark, in connection order."""
        old = mark.get(ip, [])
        new = b""
        for i, conn in enumerate(self.connections(ip)):
            new += conn[old[i]:] if i < len(old) else conn
        return new

    def expect(self, step, mark, expected, timeout=30.0):
        """Waits until each address has received exactly its expected bytes."""
        deadline = time.monotonic() + timeout
        while True:
            got = {ip: self.since(mark, ip) for ip in expected}
            if all(len(got[ip]) >= len(want) for ip, want in expected.items()):
                break
            if time.monotonic() > deadline:
                break
            time.sleep(0.05)
        # A short quiet spell so that stray extra bytes are seen as well.
        time.sleep(0.2)
        got = {ip: self.since(mark, ip) for ip in expected}
        bad = [f"  {ip}: expected {want!r}\n  {' ' * len(ip)}  received {got[ip]!r}"
               for ip, want in expected.items() if got[ip] != want]
        if bad:
            raise WalkFailed(f"{step}: wrong bytes on the wire\n" + "\n".join(bad))


# --- accessibility -----------------------------------------------------------

class Ui:
    """Finds controls by accessible name and drives them with XTest."""

    def __init__(self, env, screens):
        import pyatspi  # Debian's python3-pyatspi
        self.at = pyatspi
        self.env = env
        self.screens = screens
        self.shot_no = 0
        self.cache = {}

    def app(self):
        desktop = self.at.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.name == APP_NAME:
                return a
        return None

    def windows(self):
        app = self.app()
        if app is None:
            return []
        app.clearCache()
        return [app.getChildAtIndex(i) for i in range(app.childCount)]

    def main_window(self):
        for w in self.windows():
            if w.name.startswith("KAV PM3TA-PM3RA Control Center - "):
                return w
        return None

    def find(self, name, role=None, root=None):
        """The first accessible below root with this name (and role)."""
        key = (name, role)
        if root is None and key in self.cache:
            return self.cache[key]
        top = root or self.main_window()
        if top is None:
            return None
        stack = [top]
        while stack:
            a = stack.pop()
            if a.name == name and (role is None or a.getRoleName() == role):
                if root is None:
                    self.cache[key] = a
                return a
            # Lists and combo popups hold hundreds of items: not searched.
            if a.getRoleName() in ("combo box", "tree", "table", "list"):
                continue
            stack.extend(reversed([a.getChildAtIndex(i) for i in range(a.childCount)]))
        return None

    def control(self, name, role=None):
        return wait_for(f'the control "{name}"', lambda: self.find(name, role), 30)

    def labelled(self, label, role):
        """The control a label names. Combo boxes announce their current
        item as their name, so they are found through their label."""
        def target():
            lab = self.find(label, "label")
            if lab is None:
                return None
            for rel in lab.getRelationSet():
                if rel.getRelationType() == self.at.RELATION_LABEL_FOR:
                    for i in range(rel.getNTargets()):
                        t = rel.getTarget(i)
                        if t is not None and t.getRoleName() == role:
                            return t
            return None
        return wait_for(f'the {role} labelled "{label}"', target, 30)

    def extents(self, acc):
        e = acc.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        if e.width <= 0 or e.height <= 0:
            raise WalkFailed(f'"{acc.name}" has no area on the screen: {e.x},{e.y} {e.width}x{e.height}')
        return e.x, e.y, e.width, e.height

    def centre(self, acc):
        x, y, w, h = self.extents(acc)
        return x + w // 2, y + h // 2

    def enabled(self, acc):
        return acc.getState().contains(self.at.STATE_ENABLED)

    def states(self, acc):
        """The state names of an accessible, for reports."""
        try:
            return sorted(self.at.stateToString(s) for s in acc.getState().getStates())
        except Exception as e:
            return [f"unknown ({e})"]

    def mapped(self):
        """The main window is mapped and viewable on the X display."""
        done = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^KAV PM3TA-PM3RA Control Center - "],
                              env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
        return done.returncode == 0 and done.stdout.strip() != b""

    def not_ready(self, window, button, wm):
        """Why a person could not press button yet, or None when they could:
        the window is mapped, the window manager has made it the active
        window, the button is showing and enabled, and it stays in place
        (a window manager places and decorates a new window after mapping)."""
        if not self.mapped():
            return "the window is not mapped"
        window.clearCache()
        st = window.getState()
        if wm and not st.contains(self.at.STATE_ACTIVE):
            return f"the window is not active (states {self.states(window)})"
        bs = button.getState()
        for state, name in ((self.at.STATE_SHOWING, "showing"), (self.at.STATE_VISIBLE, "visible"),
                            (self.at.STATE_ENABLED, "enabled"), (self.at.STATE_SENSITIVE, "sensitive")):
            if not bs.contains(state):
                return f'"{button.name}" is not {name} (states {self.states(button)})'
        first = self.extents(button)
        time.sleep(0.3)
        if self.extents(button) != first:
            return f'"{button.name}" is still moving on the screen'
        return None

    def wait_ready(self, window, button, wm, timeout):
        """Waits as a person does until the window can take the press."""
        why = ["not checked yet"]

        def ready():
            why[0] = self.not_ready(window, button, wm)
            return why[0] is None
        deadline = time.monotonic() + timeout
        while not ready():
            if time.monotonic() > deadline:
                raise WalkFailed(f'the window never became ready for a press on "{button.name}" '
                                 f"within {timeout:.0f} s: {why[0]}")
            time.sleep(0.1)

    def value_of(self, acc):
        try:
            return acc.queryValue().currentValue
        except Exception:
            return None

    def checked(self, acc):
        return acc.getState().contains(self.at.STATE_CHECKED)

    def text_of(self, acc):
        t = acc.queryText()
        return t.getText(0, t.characterCount)

    def xdo(self, *args):
        run(["xdotool", *map(str, args)], self.env)

    def pointer(self):
        out = run(["xdotool", "getmouselocation", "--shell"], self.env).decode()
        pos = dict(line.split("=", 1) for line in out.split())
        return int(pos["X"]), int(pos["Y"])

    def move(self, x, y):
        # A synchronous move to where the pointer already is never returns.
        if self.pointer() != (x, y):
            self.xdo("mousemove", "--sync", x, y)

    def click_at(self, x, y):
        self.move(x, y)
        self.xdo("click", 1)

    def click(self, acc):
        if not self.enabled(acc):
            raise WalkFailed(f'"{acc.name}" is disabled when the user wants to press it')
        self.click_at(*self.centre(acc))

    def keys(self, *names):
        self.xdo("key", "--delay", 30, *names)

    def focused(self, acc):
        acc.clearCache()
        return acc.getState().contains(self.at.STATE_FOCUSED)

    def tab_to(self, acc, bound=80):
        """Presses Tab, as a keyboard user does, until acc has the focus."""
        for presses in range(bound + 1):
            if wait_for_quietly(lambda: self.focused(acc), 0.3):
                return presses
            self.keys("Tab")
        raise WalkFailed(f'"{acc.name}" never got the focus in {bound} presses of Tab; it is {self.states(acc)}')

    def type(self, text):
        self.xdo("type", "--delay", 30, text)

    def shot(self, step):
        self.shot_no += 1
        path = os.path.join(self.screens, f"{self.shot_no:02d}-{step}.png")
        run(["import", "-window", "root", path], self.env, timeout=20)
        return path

    # The list view's rows: its children are the header cells, then the
    # cells of each row, row by row.
    def rows(self, list_name, columns):
        lst = self.control(list_name, "tree")
        lst.clearCache()
        cells = [lst.getChildAtIndex(i) for i in range(lst.childCount)]
        cells = [c for c in cells if c is not None and c.getRoleName() != "table column header"]
        return [cells[i:i + columns] for i in range(0, len(cells) - columns + 1, columns)]

    def message_box(self, timeout):
        """The first window of the program other than the main window."""
        def other():
            for w in self.windows():
                if w is not None and not w.name.startswith("KAV PM3TA-PM3RA Control Center"):
                    if w.getRoleName() in ("alert", "dialog") and self.showing(w):
                        return w
            return None
        return wait_for("a message box", other, timeout)

    def showing(self, acc):
        return acc.getState().contains(self.at.STATE_SHOWING)

    def dump(self, path):
        """The accessible tree of the program, for a failure report."""
        lines = []
        def visit(a, depth):
            if a is None:
                return
            try:
                x, y, w, h = self.extents(a)
                where = f"{x},{y} {w}x{h}"
            except Exception:
                where = "-"
            lines.append(f"{'  ' * depth}{a.getRoleName()} {a.name!r} {where}")
            if a.getRoleName() not in ("combo box", "list"):
                for i in range(a.childCount):
                    visit(a.getChildAtIndex(i), depth + 1)
        app = self.app()
        if app is not None:
            visit(app, 0)
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")

    def labels(self, root):
        out, stack = [], [root]
        while stack:
            a = stack.pop()
            if a.getRoleName() == "label" and a.name:
                out.append(a.name)
            stack.extend(a.getChildAtIndex(i) for i in range(a.childCount))
        return out


def start_desktop(procs, env, workdir):
    """Xvfb on a free display, a session bus with the accessibility bus, and
    openbox when there is one; env and os.environ get DISPLAY and the bus."""
    # The display: Xvfb picks a free number and writes it to a pipe.
    rfd, wfd = os.pipe()
    procs.spawn("xvfb", ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1600x1000x24",
                         "-nolisten", "tcp", "-noreset"], env, pass_fds=(wfd,))
    os.close(wfd)
    number = b""
    deadline = time.monotonic() + 15
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        chunk = os.read(rfd, 16)
        if not chunk:
            break
        number += chunk
    os.close(rfd)
    if not number.strip():
        raise WalkFailed("Xvfb did not start:\n" + procs.log_of("xvfb"))
    env["DISPLAY"] = ":" + number.decode().strip()
    log(f"display {env['DISPLAY']}")

    # The session bus, and the accessibility bus that Qt looks up on it.
    bus = os.path.join(workdir, "bus")
    procs.spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile", f"--address=unix:path={bus}"], env)
    wait_for("the session bus", lambda: os.path.exists(bus), 10)
    env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus}"
    procs.spawn("at-spi", [AT_SPI_LAUNCHER, "--launch-immediately"], env)
    wait_for("the accessibility bus", lambda: subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
         "org.a11y.Bus.GetAddress"], env=env, capture_output=True).returncode == 0, 10, 0.1)
    os.environ.update({k: env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")})

    procs.window_manager = shutil.which("openbox") is not None
    if procs.window_manager:
        # Title bars show the captions in the screenshots. A window mapped
        # while openbox is still starting can be lost (it stays unmapped
        # for good), so the program starts only once openbox has run its
        # start-up command, as on a desktop that has finished logging in.
        wm_ready = os.path.join(workdir, "openbox.ready")
        wm = procs.spawn("openbox", ["openbox", "--sm-disable", "--startup", f"touch {wm_ready}"], env)
        wait_for("openbox to finish starting", lambda: os.path.exists(wm_ready) or wm.poll() is not None, 60)
        if not os.path.exists(wm_ready):
            raise WalkFailed("openbox did not start:\n" + procs.log_of("openbox"))
    else:
        log("openbox not found: windows have no title bars")


# --- the walk ----------------------------------------------------------------

def tile(r, c, vi, hi, ow, oh, vw, vh):
    wt = (vw + ow * hi) & 0xFFFFFFFF
    ht = (vh + oh * vi) & 0xFFFFFFFF
    return (ow * c * 10000 // wt, oh * r * 10000 // ht,
            (ow * c + vw) * 10000 // wt, (oh * r + vh) * 10000 // ht)


def vw_line(rect):
    return b"e e_vw_enable_%d_%d_%d_%d_2\r\n" % rect


def press_scan(ui, wire, window, scan, wm, alive, arrived=None, proof="a discovery query", wait=20):
    """Presses Scan until the press is seen to arrive; returns the presses.
    The simulator's log proves it by default: Scan sends the discovery query
    before anything else. A press that did not arrive is repeated, so that a
    lost click is told apart from a Scan that found nothing."""
    if arrived is None:
        queries = wire.discovery_queries()

        def arrived():
            return wire.discovery_queries() > queries
    presses = 0
    while True:
        presses += 1
        ui.click(scan)
        try:
            wait_for(f"{proof} after the press on Scan", arrived, wait, 0.1)
            return presses
        except WalkFailed:
            alive()
            if presses == 3:
                raise WalkFailed(f"scan: the press on Scan never reached the program: {presses} presses, and "
                                 f"{proof} was not seen in {wait} s after each (window states "
                                 f"{ui.states(window)}, Scan states {ui.states(scan)})")
            log(f"scan: press {presses} on Scan did not reach the program; pressing again")
            ui.wait_ready(window, scan, wm, 60)


def walk(ui, wire, procs, timings):
    tx_ips = [f"198.18.1.{i}" for i in range(1, TX_COUNT + 1)]
    rx_ips = [f"198.18.2.{i}" for i in range(1, RX_COUNT + 1)]
    everyone = tx_ips + rx_ips

    def alive():
        if procs.cortavia.poll() is not None:
            raise WalkFailed(f"Cortavia ended with status {procs.cortavia.returncode}:\n"
                             + procs.log_of("cortavia")[-3000:])

    def step(name):
        alive()
        timings.append((name, time.monotonic()))
        log(f"step: {name}")

    step("window appears")
    window = wait_for("the main window over AT-SPI", ui.main_window, 60)
    scan = ui.control("Scan", "push button")
    # A person waits until the window has come up, is in front and the
    # button can be pressed; only then does the press count.
    ui.wait_ready(window, scan, procs.window_manager, 60)
    ui.shot("window")

    step("scan")
    mark = wire.mark(everyone)
    presses = press_scan(ui, wire, window, scan, procs.window_manager, alive)
    log(f"scan: the program sent its discovery query after {presses} press(es)")

    def rx_rows_now():
        r = ui.rows("RX list", 5)
        return r if len(r) == RX_COUNT else None
    try:
        rows = wait_for(f"{RX_COUNT} rows in the RX list", rx_rows_now, 60)
    except WalkFailed:
        got = ui.rows("RX list", 5)
        raise WalkFailed(f"scan: the press reached the program (the simulator saw its discovery query), but the "
                         f"RX list holds {len(got)} rows instead of {RX_COUNT} after 60 s; progress bar at "
                         f"{ui.value_of(ui.control('Progress'))}, node queries on the wire: "
                         f"{[ip for ip in everyone if wire.since(mark, ip)]}")
    wait_for(f"{TX_COUNT} rows in the TX list", lambda: len(ui.rows("TX list", 3)) == TX_COUNT, 30)
    # Discovery names one endpoint; that one alone gets the node query.
    queried = [ip for ip in everyone if wire.since(mark, ip)]
    if len(queried) != 1:
        raise WalkFailed(f"scan: expected one endpoint to be asked for the node list, got {queried}")
    wire.expect("scan", mark, {ip: (b"root\r\nnode_query --dump\r\n" if ip == queried[0] else b"")
                               for ip in everyone})
    rx_rows = [[c.name for c in row] for row in rows]
    log(f"RX list: {rx_rows}")
    if sorted(r[0] for r in rx_rows) != rx_ips:
        raise WalkFailed(f"scan: the RX list holds {rx_rows}, expected the receivers {rx_ips}")
    if [r[3] for r in rx_rows] != [str(i) for i in range(RX_COUNT)]:
        raise WalkFailed(f"scan: the OSD column reads {[r[3] for r in rx_rows]}")
    apply_button = ui.control("Apply", "push button")
    wait_for("Apply to be enabled after the scan wait", lambda: ui.enabled(apply_button), 30)
    ui.shot("scan")

    # The second receiver: its row, address and the cells of its row.
    row = 1
    ip = rx_rows[row][0]
    others = [a for a in everyone if a != ip]

    def select_receiver(stepname):
        step(stepname)
        m = wire.mark(everyone)
        cells = ui.rows("RX list", 5)[row]
        ui.click(cells[0])
        wire.expect(stepname, m, {ip: b"root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n",
                                  **{a: b"" for a in others}})
        edit = ui.control("Hostname ID", "text")
        wait_for("the Hostname ID field to show the receiver's ID", lambda: ui.text_of(edit), 30)
        wait_for("the device buttons to come back", lambda: ui.enabled(apply_button), 30)
        return edit

    edit = select_receiver("select receiver")
    old_hostname = ui.text_of(edit)
    channel = ui.labelled("Channel", "combo box")
    old_channel = channel.name
    log(f"receiver {ip}: hostname ID {old_hostname!r}, channel {old_channel!r}")
    if not old_channel:
        raise WalkFailed("select receiver: the Channel list shows no channel")
    ui.shot("receiver-selected")

    step("edit hostname and channel")
    ui.click(edit)
    ui.keys("ctrl+a")
    ui.type(NEW_HOSTNAME)
    wait_for(f"the Hostname ID field to read {NEW_HOSTNAME}", lambda: ui.text_of(edit) == NEW_HOSTNAME, 30)
    ui.click(channel)
    ui.shot("channel-open")
    ui.keys("Down", "Down", "Down", "Return")
    new_channel = wait_for("another channel", lambda: channel.name != old_channel and channel.name, 30)
    log(f"picked channel {new_channel}")
    if ui.text_of(edit) != NEW_HOSTNAME:
        raise WalkFailed(f"the typed hostname ID was replaced by {ui.text_of(edit)!r} before Apply")
    ui.shot("edited")

    step("apply")
    mark = wire.mark(everyone)
    ui.click(apply_button)
    box = ui.message_box(60)
    ui.shot("apply-message")
    box_labels = ui.labels(box)
    log(f"message box {box.name!r}: {box_labels}")
    if "Apply successfully" not in box_labels:
        raise WalkFailed(f"apply: the message box says {box_labels}, expected \"Apply successfully\"")
    if box.name != APP_NAME:
        raise WalkFailed(f"apply: the message box caption is {box.name!r}, expected {APP_NAME!r}")
    expected = (b"astparam s hostname_id " + NEW_HOSTNAME.encode() + b"\r\n"
                b"e e_chg_hostname\r\n"
                b"astparam save\r\n"
                b"astparam s reset_ch_on_boot n\r\n\0"
                b"astparam save\r\n\0"
                b"e e_reconnect::" + new_channel.encode() + b"\r\n\0")
    wire.expect("apply", mark, {ip: expected, **{a: b"" for a in others}})
    ui.click(wait_for("the OK button", lambda: ui.find("OK", "push button", box), 30))
    wait_for("the message box to close", lambda: not ui.showing(box), 30, 0.1)
    cells = [c.name for c in ui.rows("RX list", 5)[row]]
    if cells[2] != new_channel or cells[4] != NEW_HOSTNAME:
        raise WalkFailed(f"apply: the RX row reads {cells}, expected channel {new_channel} and {NEW_HOSTNAME}")
    ui.shot("applied")

    step("drag receiver onto the grid")
    vi = hi = 4  # the wall starts 5 x 5
    bezel = dict(ow=1, oh=1, vw=1, vh=1)
    target_r, target_c = 1, 2
    target = ui.control(f"Grid {target_r}_{target_c}", "push button")
    mark = wire.mark(everyone)
    sx, sy = ui.centre(ui.rows("RX list", 5)[row][0])
    tx, ty = ui.centre(target)
    ui.move(sx, sy)
    ui.xdo("mousedown", 1)
    # Past the drag distance first, then across the window in steps.
    for i in range(1, 4):
        ui.move(sx + 4 * i, sy + 2 * i)
        time.sleep(0.03)
    n = 12
    for i in range(1, n + 1):
        ui.move(sx + 12 + (tx - sx - 12) * i // n, sy + 6 + (ty - sy - 6) * i // n)
        time.sleep(0.03)
    time.sleep(0.2)
    ui.shot("dragging")
    ui.xdo("mouseup", 1)
    line = vw_line(tile(target_r, target_c, vi, hi, **bezel))
    wire.expect("drop", mark, {ip: b"root\r\n" + line, **{a: b"" for a in others}})
    ui.shot("dropped")

    step("quick video wall")
    mark = wire.mark(everyone)
    ui.click(ui.control("Quick Video Wall", "push button"))
    expected = {r[0]: b"root\r\n" + vw_line(tile(i // (hi + 1), i % (hi + 1), vi, hi, **bezel))
                for i, r in enumerate(rx_rows)}
    wire.expect("quick video wall", mark, {**expected, **{a: b"" for a in tx_ips}})
    ui.shot("quick-wall")

    osd = ui.control("Show OSD", "check box")
    step("show OSD on")
    mark = wire.mark(everyone)
    ui.click(osd)
    expected = {r[0]: b'root\r\nbig_osd_on.sh "' + r[3].encode() + b'"\r\n' for r in rx_rows}
    wire.expect("show OSD on", mark, {**expected, **{a: b"" for a in tx_ips}})
    if not ui.checked(osd):
        raise WalkFailed("show OSD on: the box is not checked")
    ui.shot("osd-on")

    step("show OSD off")
    mark = wire.mark(everyone)
    ui.click(osd)
    expected = {r[0]: b"root\r\nosd_off.sh 0\r\n" for r in rx_rows}
    wire.expect("show OSD off", mark, {**expected, **{a: b"" for a in tx_ips}})
    if ui.checked(osd):
        raise WalkFailed("show OSD off: the box is still checked")
    ui.shot("osd-off")

    # The keyboard path: Tab to the RX list, an arrow to another receiver,
    # a new hostname ID, Tab to Apply and Space. The wall operations moved
    # the scan session elsewhere; the arrow's selection brings it back.
    step("keyboard: arrow to a receiver")
    rx_list = ui.control("RX list", "tree")
    presses = ui.tab_to(rx_list)
    log(f"the RX list has the focus after {presses} Tab press(es)")
    chosen = None
    query = b"root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n"
    for _ in range(3):
        m = wire.mark(everyone)
        ui.keys("Down")
        chosen = wait_for_quietly(lambda: next((a for a in rx_ips if wire.since(m, a) == query), None), 10)
        if chosen:
            break
    if not chosen:
        raise WalkFailed("keyboard: no arrow press in the RX list ran the detail query")
    wire.expect("keyboard: arrow to a receiver", m, {chosen: query, **{a: b"" for a in everyone if a != chosen}})
    chosen_row = next(r for r in ui.rows("RX list", 5) if r[0].name == chosen)
    edit = ui.control("Hostname ID", "text")
    wait_for(f"the panel to show {chosen}'s hostname ID {chosen_row[4].name!r}",
             lambda: ui.text_of(edit) == chosen_row[4].name, 30)
    wait_for("the device buttons to come back", lambda: ui.enabled(apply_button), 30)
    ui.shot("keyboard-selected")

    step("keyboard: apply")
    keyed = "kbd-walk"
    ui.click(edit)
    ui.keys("ctrl+a")
    ui.type(keyed)
    wait_for(f"the Hostname ID field to read {keyed}", lambda: ui.text_of(edit) == keyed, 30)
    presses = ui.tab_to(apply_button)
    log(f"Apply has the focus after {presses} Tab press(es)")
    mark = wire.mark(everyone)
    ui.keys("space")
    box = ui.message_box(60)
    box_labels = ui.labels(box)
    ui.shot("keyboard-apply-message")
    if "Apply successfully" not in box_labels:
        raise WalkFailed(f"keyboard: apply: the message box says {box_labels}, expected \"Apply successfully\"")
    wire.expect("keyboard: apply", mark,
                {chosen: b"astparam s hostname_id " + keyed.encode() + b"\r\ne e_chg_hostname\r\nastparam save\r\n",
                 **{a: b"" for a in everyone if a != chosen}})
    ui.click(wait_for("the OK button", lambda: ui.find("OK", "push button", box), 30))
    wait_for("the message box to close", lambda: not ui.showing(box), 30, 0.1)

    # A user selects the receiver again before rebooting it.
    select_receiver("select receiver again")
    step("reboot")
    mark = wire.mark(everyone)
    ui.click(ui.control("Reboot", "push button"))
    wire.expect("reboot", mark, {ip: b"reboot\r\n\0", **{a: b"" for a in others}})
    wait_for("the receiver to log the reboot", lambda: "reboot" in wire.events(ip), 30)
    ui.shot("rebooting")
    box = ui.message_box(120)
    ui.shot("reboot-message")
    box_labels = ui.labels(box)
    log(f"message box {box.name!r}: {box_labels}")
    if "Reboot success" not in box_labels:
        raise WalkFailed(f"reboot: the message box says {box_labels}, expected \"Reboot success\"")
    ui.keys("Return")
    wait_for("the message box to close", lambda: not ui.showing(box), 30, 0.1)
    ui.shot("rebooted")
    step("end")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cortavia", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--screens", required=True)
    ap.add_argument("--keep-workdir", action="store_true")
    args = ap.parse_args()

    lan = os.environ.get("CV_LAN_NS")
    if not lan:
        print("user_walkthrough: run me through scripts/testlan.sh (no CV_LAN_NS)", file=sys.stderr)
        return 2
    for tool in ("Xvfb", "dbus-daemon", "xdotool", "import"):
        if shutil.which(tool) is None:
            print(f"user_walkthrough: {tool} not found (scripts/install-deps.sh installs it)", file=sys.stderr)
            return 2
    if not os.path.exists(AT_SPI_LAUNCHER):
        print("user_walkthrough: at-spi2-core is not installed", file=sys.stderr)
        return 2

    workdir = tempfile.mkdtemp(prefix="cv-e2e-")
    os.chmod(workdir, 0o700)
    shutil.rmtree(args.screens, ignore_errors=True)
    os.makedirs(args.screens)
    procs = Processes(workdir)
    # A TERM from CTest's time-out or testlan.sh ends the walk through finally.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    timings = []
    status = 1
    ui = None
    try:
        env = {k: v for k, v in os.environ.items() if not k.startswith(("QT_", "DBUS_", "DISPLAY", "XDG_", "WAYLAND"))}
        env["XDG_RUNTIME_DIR"] = workdir

        start_desktop(procs, env, workdir)

        state = os.path.join(workdir, "sim")
        ready = os.path.join(workdir, "sim.ready")
        procs.spawn("sim", ["ip", "netns", "exec", lan, args.sim, "--tx", str(TX_COUNT), "--rx", str(RX_COUNT),
                            "--state-dir", state, "--ready-file", ready], env)
        wait_for("the simulator", lambda: os.path.exists(ready) or procs.started[-1][1].poll() is not None, 15)
        if not os.path.exists(ready):
            raise WalkFailed("the simulator did not start:\n" + procs.log_of("sim"))

        app_env = dict(env, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        procs.cortavia = procs.spawn("cortavia", [args.cortavia], app_env)
        ui = Ui(env, args.screens)
        walk(ui, Wire(state), procs, timings)
        status = 0
    except Exception as e:
        if isinstance(e, WalkFailed):
            print(f"FAILED: {e}", file=sys.stderr)
        else:
            traceback.print_exc()
        if ui is not None:
            try:
                print(f"screenshot of the failure: {ui.shot('failure')}", file=sys.stderr)
                ui.dump(os.path.join(args.screens, "failure-tree.txt"))
            except Exception as e:
                print(f"no screenshot or tree of the failure: {e}", file=sys.stderr)
        for name in ("cortavia", "sim", "openbox"):
            print(f"--- {name} log (tail) ---\n{procs.log_of(name)[-2000:]}", file=sys.stderr)
        for name, proc in procs.started:
            if proc.poll() is not None:
                print(f"--- {name} had ended, status {proc.returncode}", file=sys.stderr)
        if os.environ.get("DISPLAY"):
            # What the X server holds: which windows exist, which are mapped.
            for argv in (["xwininfo", "-root", "-tree"], ["xprop", "-root"]):
                done = subprocess.run(argv, capture_output=True, timeout=10)
                print(f"--- {' '.join(argv)} ---\n{done.stdout.decode(errors='replace')[-3000:]}", file=sys.stderr)
    finally:
        procs.stop_all()
        if args.keep_workdir:
            print(f"work dir kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    for (name, t0), (_, t1) in zip(timings, timings[1:]):
        print(f"  {name:<28} {t1 - t0:6.2f} s")
    total = time.monotonic() - START
    print(f"walk {'passed' if status == 0 else 'FAILED'} in {total:.1f} s; screenshots in {args.screens}")
    return status


if __name__ == "__main__":
    sys.exit(main())
