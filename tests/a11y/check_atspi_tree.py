#!/usr/bin/python3
"""The main window as a screen reader sees it over AT-SPI.

Starts the real orvex-uploader on a virtual X display (Xvfb) with a private
D-Bus session, then reads the accessibility tree from outside the process: the window
is found by its title and every control by the label the operator reads.

    check_atspi_tree.py PATH/TO/orvex-uploader

Exits 77 (skipped) when the AT-SPI packages are missing; scripts/setup
installs them.
"""
import contextlib
import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
INNER = "ORVEX_A11Y_INNER"
TITLE = "Orvex Firmware Upgrade"
START_LIMIT_S = 90.0  # generous: a loaded two-core machine starts Qt slowly
POLL_S = 0.1

# (label as read, AT-SPI role): every control the operator uses or reads.
CONTROLS = [
    ("Selected Bus", "text"),
    ("GPIB Board", "combo box"),
    ("Com Port", "combo box"),
    ("Address", "combo box"),
    ("IP Address", "text"),
    ("Unit Password", "text"),
    ("Select Filename", "push button"),
    ("Select Filename", "text"),  # the file name field the button fills in
    ("START", "push button"),
    ("Model", "text"),
    ("Serial No.", "text"),
    ("Firmware Version Before Update", "text"),
    ("After Update", "text"),
    ("Messages", "text"),
    ("progress... %", "progress bar"),
    ("Transmit", "image"),
]


def die_with_this_process():
    """Run in a child before it starts: it ends when this script does, even if
    the script is killed, so that no server or program outlives the test."""
    pr_set_pdeathsig = 1
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(pr_set_pdeathsig, signal.SIGTERM)


def start_accessibility_bus():
    """Starts the session's accessibility bus and waits for it. The AT-SPI
    library gives up on it after D-Bus's default 25 s and aborts the process,
    which a loaded machine can exceed."""
    subprocess.run(
        ["dbus-send", "--session", "--print-reply", f"--reply-timeout={int(START_LIMIT_S * 1000)}",
         "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def missing_parts():
    missing = [tool for tool in ("Xvfb", "dbus-run-session", "dbus-send") if shutil.which(tool) is None]
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        missing.append("at-spi2-core")
    try:
        import gi

        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi  # noqa: F401
    except (ImportError, ValueError) as error:
        missing.append(f"python3-gi/gir1.2-atspi-2.0 ({error})")
    return missing


@contextlib.contextmanager
def virtual_display():
    """An Xvfb server on a display number it picks itself (-displayfd), so that
    parallel runs never race for a number or a socket."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
        pass_fds=(write_end,),
        stderr=subprocess.DEVNULL,
        preexec_fn=die_with_this_process,
    )
    os.close(write_end)
    try:
        number = b""
        deadline = time.monotonic() + START_LIMIT_S
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], POLL_S)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            raise RuntimeError("Xvfb did not start")
        yield ":" + number.strip().decode()
    finally:
        os.close(read_end)
        server.terminate()
        server.wait()


def spoken(text):
    return " ".join((text or "").split())


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def find_window(Atspi, program):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None:
            continue
        for j in range(app.get_child_count()):
            window = app.get_child_at_index(j)
            if window is not None and spoken(window.get_name()).startswith(TITLE):
                return window
    return None


def labels_of(Atspi, node):
    """The texts of the labels that name `node` (the labelled-by relation)."""
    texts = []
    for relation in node.get_relation_set() or []:
        if relation.get_relation_type() != Atspi.RelationType.LABELLED_BY:
            continue
        for k in range(relation.get_n_targets()):
            texts.append(spoken(relation.get_target(k).get_name()))
    return texts


def named(Atspi, node, label):
    # A combo box on Linux speaks its current item as its name and its label
    # through the relation, as screen readers expect.
    if node.get_role_name() == "combo box":
        return label in labels_of(Atspi, node)
    # Exactly: a name with the caption's line breaks reads badly aloud.
    return node.get_name() == label


def check(program):
    import gi

    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    failures = []
    with virtual_display() as display, tempfile.TemporaryDirectory() as work:
        env = dict(
            os.environ,
            DISPLAY=display,
            QT_QPA_PLATFORM="xcb",
            QT_ACCESSIBILITY="1",
            QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
        )
        with open(os.path.join(work, "program.log"), "w+") as log:
            process = subprocess.Popen(
                [program], env=env, cwd=work, stdout=log, stderr=subprocess.STDOUT, preexec_fn=die_with_this_process
            )
            try:
                window = None
                deadline = time.monotonic() + START_LIMIT_S
                while window is None and time.monotonic() < deadline and process.poll() is None:
                    window = find_window(Atspi, program)
                    if window is None:
                        time.sleep(POLL_S)
                if window is None:
                    log.seek(0)
                    return [f"no window titled '{TITLE}...' appeared; program output:\n{log.read()}"]
                if window.get_role_name() not in ("frame", "window"):
                    failures.append(f"window role is '{window.get_role_name()}', not a frame")
                nodes = [n for n in walk(window) if n is not window]

                for label, role in CONTROLS:
                    if not any(n.get_role_name() == role and named(Atspi, n, label) for n in nodes):
                        failures.append(f"no {role} named '{label}'")

                # Every caption names the control it stands beside.
                for caption in (n for n in nodes if n.get_role_name() == "label"):
                    for relation in caption.get_relation_set() or []:
                        if relation.get_relation_type() != Atspi.RelationType.LABEL_FOR:
                            continue
                        for k in range(relation.get_n_targets()):
                            target = relation.get_target(k)
                            if not named(Atspi, target, spoken(caption.get_name())):
                                failures.append(
                                    f"'{target.get_role_name()}' beside caption '{spoken(caption.get_name())}' "
                                    f"is named '{target.get_name()}'"
                                )

                lamps = [n for n in nodes if n.get_role_name() == "image" and spoken(n.get_name()) == "Transmit"]
                if lamps and lamps[0].get_description() != "Transmit: off":
                    failures.append(f"lamp describes itself as '{lamps[0].get_description()}'")

                bars = [n for n in nodes if n.get_role_name() == "progress bar"]
                # The accessible itself carries the Value interface of a bar.
                value = bars[0] if bars and "Value" in bars[0].get_interfaces() else None
                if value is None:
                    failures.append("the progress bar exposes no value")
                elif (value.get_current_value(), value.get_maximum_value()) != (0.0, 100.0):
                    failures.append(f"progress value {value.get_current_value()} of {value.get_maximum_value()}")
            finally:
                process.terminate()
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
    return failures


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    program = os.path.abspath(sys.argv[1])
    if os.environ.get(INNER) != "1":
        missing = missing_parts()
        if missing:
            print("skipped, missing: " + ", ".join(missing))
            return SKIP
        # A private session bus, where the AT-SPI bus and registry start on
        # demand and vanish afterwards. The AT-SPI bus socket lives in the
        # runtime folder (else in ~/.cache, shared by every run): one each.
        with tempfile.TemporaryDirectory(prefix="orvex-a11y-") as runtime_dir:
            os.chmod(runtime_dir, 0o700)
            env = dict(os.environ, **{INNER: "1", "XDG_RUNTIME_DIR": runtime_dir})
            command = ["dbus-run-session", "--", sys.executable, os.path.abspath(__file__), program]
            return subprocess.run(command, env=env).returncode

    start_accessibility_bus()
    failures = check(program)
    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print(f"ok: window '{TITLE}' and {len(CONTROLS)} controls found by their labels")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
