#!/usr/bin/python3
"""One operator session with the real vuzev-tavi against the reference pack
service, driven and read as a screen reader does: through the accessibility
bus of its own X server, controls found by role and name (objectName is not on
the bus). Needs Debian's /usr/bin/python3 (python3-pyatspi), Xvfb, dbus and
at-spi2-core. Exit status 0 when the session went as an operator expects."""

import argparse
import contextlib
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from harness import Failure, Processes, ScriptedModel, start_buses, start_display, wait_until

TOKEN = "tavi-Rahasia-42-Ä"
VOICE_ADDITION = " Selalu ramah, Kak!"
REPLY = ("Halo Kak! Untuk Jakarta ke Bangkok tanggal 5 Oktober ada beberapa pilihan "
         "penerbangan langsung. Mau saya carikan yang paling pagi atau yang paling hemat?")
CHECK = "Check for Updates\u2026"


def expect(condition, what):
    if not condition:
        raise Failure(what)


def program_env(program, workdir, base):
    env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(workdir, "runtime"),
               HOME=os.path.join(workdir, "home"), QT_QPA_PLATFORM="xcb",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", TAVI_MODEL="off", TAVI_API_BASE=base)
    for d in (env["HOME"], env["XDG_RUNTIME_DIR"]):
        os.makedirs(d, mode=0o700)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":suppressions=" + os.path.join(
            os.path.dirname(os.path.abspath(__file__)), "../../scripts/asan.supp")
        # Mesa's software GL driver (what draws on Xvfb) leaks a few blocks and
        # is unloaded before the leak check, where no suppression can name it;
        # preloaded (after the sanitizer) it stays, and scripts/lsan.supp does.
        ldd = subprocess.run(["ldd", program], capture_output=True, text=True, timeout=30)
        asan = [w for w in ldd.stdout.split() if "/libasan.so" in w][:1]
        drivers = glob.glob("/usr/lib/*/dri/swrast_dri.so")[:1]
        if asan and drivers:
            env["LD_PRELOAD"] = " ".join(asan + drivers)
    return env


def session(args, processes, model, workdir, screens):
    os.environ.pop("TAVI_OPERATOR_TOKEN", None)
    # The accessibility library finds its bus through these on first use.
    os.environ["DISPLAY"] = start_display(processes)
    start_buses(processes, os.environ)
    base = processes.first_line("pack-service", [
        args.service, "--listen", "127.0.0.1:0", "--db", os.path.join(workdir, "packs.db"),
        "--seed", args.seed, "--model-url", model.url, "--model", "scripted"], "listening on ")
    service = processes.started[-1]
    with open(args.seed, encoding="utf-8") as f:
        seed = json.load(f)
    program = processes.start("program", [args.program],
                              program_env(args.program, workdir, base))

    import pyatspi
    from screen import END, ESCAPE, Screen

    screen = Screen(program.pid)
    screens.append(screen)
    frame = screen.find("Vuzev Tavi", pyatspi.ROLE_FRAME)
    status = screen.wait_label("the start-up load", lambda t: t.startswith(
        ("Loaded ", "Could not", "API ")))
    expect(status == "Loaded " + seed["version"], f"start-up status {status!r}")

    def service_requests():
        return [line for line in processes.log(service).splitlines()
                if line.startswith(("GET ", "POST "))]

    def menu_closed():
        wait_until("the menu closed", lambda: not screen.find_all(pyatspi.ROLE_MENU_ITEM), 5)

    def choose_from_menu(name):
        """Opens the menus with the pointer (a closed menu's items are not on
        the bus) and chooses the item by its press action, as a screen reader
        does; returns the names of the items of its menu. Each title gets two
        clicks: after an item was chosen so, the menu bar takes the next click
        as closing the menu it still thinks open."""
        for title in menu_titles() * 2:
            screen.click(title)
            with contextlib.suppress(Failure):
                item = screen.find(name, pyatspi.ROLE_MENU_ITEM, 3)
                break
        else:
            raise Failure(f"no menu holds {name!r}")
        siblings = [c.name for c in item.parent]
        screen.press(item)
        menu_closed()
        return siblings

    def menu_titles():
        return [n for bar in screen.find_all(pyatspi.ROLE_MENU_BAR) for n in bar
                if n is not None and n.name]

    def answered_by_updater():
        # The built-in feed's host does not exist here, so the answer is the error.
        screen.wait_label("the update check's error", lambda t: t == "Update Error!")
        screen.press(screen.find("OK"))
        wait_until("the update dialog closed", lambda: "Update Error!" not in screen.labels(), 10)

    def in_toolbar(node):
        while node is not None and node.getRole() != pyatspi.ROLE_TOOL_BAR:
            node = node.parent
        return node is not None

    # The token: typed like any text, never readable in clear by anyone on the
    # bus, and a copy out of its field hands nothing over either.
    token = wait_until("the operator token field", lambda: next(
        (n for n in screen.nodes() if "Operator token" in (n.name, n.description)), None))
    screen.click(token)
    screen.type(TOKEN)
    wait_until("one mask character per typed one", lambda: len(screen.text(token)) == len(TOKEN))
    screen.with_control(ord("a"))
    screen.with_control(ord("c"))
    message = screen.find("Traveler message", pyatspi.ROLE_TEXT)
    message_before = screen.text(message)
    screen.click(message)
    screen.with_control(END)
    screen.with_control(ord("v"))
    time.sleep(0.5)
    leaks = [f"{node.getRoleName()} {node.name!r}" for node in screen.nodes()
             if TOKEN in (node.name or "") + (node.description or "") + (
                 screen.text(node) if "Text" in pyatspi.utils.listInterfaces(node) else "")]
    expect(not leaks, f"the operator token is readable in clear: {leaks}")
    expect(screen.text(message).startswith(message_before),
           f"the traveler message changed to {screen.text(message)!r}")

    # Persona voice: typed in, published, and back to the old one on rollback.
    voice = screen.find("Persona voice", pyatspi.ROLE_TEXT)
    original = seed["modules"]["persona"]["voice"]
    expect(screen.text(voice) == original, f"the editor shows {screen.text(voice)!r}")
    screen.click(voice)
    screen.with_control(END)
    screen.type(VOICE_ADDITION)
    wait_until("the edited voice in the editor",
               lambda: screen.text(voice) == original + VOICE_ADDITION)
    expect(status in screen.labels(), "typing in the editor changed the status line")
    screen.press(screen.find("Publish live"))
    screen.wait_label("the publish", lambda t: t == "Live Tavi now v2")
    with urllib.request.urlopen(base + "/api/capability-packs/current", timeout=10) as live:
        expect(json.load(live)["pack"]["modules"]["persona"]["voice"] == original + VOICE_ADDITION,
               "the published pack lacks the typed voice")
    screen.press(screen.find("Rollback"))
    screen.wait_label("the rollback", lambda t: t == "Rolled back to " + seed["version"])
    wait_until("the rolled-back voice in the editor", lambda: screen.text(voice) == original)

    # Busy: a preview held by the model. Every button that starts an operation
    # is pressed meanwhile and the service must see none of them; both update
    # checks still answer, in the updater's own dialog.
    model.hold.set()
    requests = len(service_requests())
    screen.press(screen.find("Preview Tavi"))
    for name in ("Working\u2026", "Publish live", "Rollback", "Reload pack", "Preview Tavi"):
        screen.press(screen.find(name))
    siblings = choose_from_menu(CHECK)
    i = siblings.index(CHECK)
    expect(i > 0 and siblings[i - 1] == "About Vuzev Tavi", f"the menu reads {siblings}")
    answered_by_updater()
    toolbar = [n for n in screen.find_all(pyatspi.ROLE_PUSH_BUTTON, CHECK) if in_toolbar(n)]
    expect(len(toolbar) == 1, f"{len(toolbar)} toolbar buttons named {CHECK!r}")
    screen.press(toolbar[0])
    answered_by_updater()
    model.release.set()
    screen.wait_label("the preview", lambda t: t == "Preview via mlx")
    screen.find("Rewrite with Apple Intelligence")
    new = service_requests()[requests:]
    expect(new == ["POST /api/capability-packs/preview -> (model)"],
           f"while busy the service saw {new}")
    expect(model.requests == 1, f"the model was asked {model.requests} times")
    screen.wait_label("the source caption", lambda t: t == "Preview: mlx")
    screen.find(REPLY, role=None)

    # The picture for the README, every menu closed and no title lit: the menu
    # bar keeps a title lit after an item chosen by press until it is clicked.
    for title in menu_titles():
        screen.click(title)
    screen.click(frame, 0.95, 0.95)
    menu_closed()
    time.sleep(0.3)
    x, y, w, h = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    os.makedirs(os.path.dirname(os.path.abspath(args.screenshot)), exist_ok=True)
    subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                    args.screenshot], check=True, timeout=30, capture_output=True)

    review_panel(screen, model, seed, args)
    keyboard(screen, frame, program)
    expect(program.returncode == 0, f"the program ended with {program.returncode}")
    warnings = [line for line in processes.log(program).splitlines() if ".qml:" in line]
    expect(not warnings, f"the window's QML warned: {warnings}")


def keyboard(screen, frame, program):
    """The menu, the dialogs and the window from the keyboard alone: F10 and the
    menu's Alt mnemonic open the menu, an item's letter chooses it, Escape
    closes the About dialog and the updater's dialog, Ctrl+W closes the window
    and so ends the program."""
    import pyatspi
    from screen import ALT_MASK, ESCAPE, F10

    def menu_open():
        screen.find("About Vuzev Tavi", pyatspi.ROLE_MENU_ITEM, 10)

    def gone(what, predicate, timeout=10):
        wait_until(what, lambda: not any(predicate(t) for t in screen.labels()), timeout)

    screen.click(frame, 0.95, 0.95)
    screen.key(F10)
    menu_open()
    screen.key(ord("a"))
    screen.wait_label("the About dialog", lambda t: t.startswith("Version "))
    screen.key(ESCAPE)
    gone("the About dialog closed", lambda t: t.startswith("Version "))

    screen.with_control(ord("v"), ALT_MASK)
    menu_open()
    screen.key(ord("c"))
    # The built-in feed's host does not exist here, so the answer is the error.
    screen.wait_label("the update check's error", lambda t: t == "Update Error!")
    # The keys go to the window under the pointer; a window just shown may not
    # be under it yet when the bus already reports where it will be.
    for _ in range(3):
        screen.click(screen.find("Update Error!", pyatspi.ROLE_LABEL))
        screen.key(ESCAPE)
        with contextlib.suppress(Failure):
            gone("the update dialog closed", lambda t: t == "Update Error!", 3)
            break
    else:
        raise Failure("Escape did not close the update dialog")

    screen.with_control(ord("w"))
    wait_until("the program to end on Ctrl+W", lambda: program.poll() is not None, 30)


def review_panel(screen, model, seed, args):
    """The review panel by keyboard and screen reader: opened by its shortcut,
    one change read, a two-message set run under the draft and live, a check
    failure read off its row. Leaves the panel's picture beside the window's."""
    import pyatspi
    from screen import CONTROL_MASK, END

    def shortcut(sym):
        mask = CONTROL_MASK | 1  # Shift
        pyatspi.Registry.generateKeyboardEvent(mask, None, pyatspi.KEY_LOCKMODIFIERS)
        try:
            screen.key(sym)
        finally:
            pyatspi.Registry.generateKeyboardEvent(mask, None, pyatspi.KEY_UNLOCKMODIFIERS)

    version = seed["version"]
    voice = screen.find("Persona voice", pyatspi.ROLE_TEXT)
    screen.click(voice)
    screen.with_control(END)
    screen.type(VOICE_ADDITION)
    # Only the draft, whose instructions carry the addition, says a denied item
    # at length; live answers as before.
    denied = seed["modules"]["guardrails"]["deny"][0]
    long_reply = " ".join(["Baik Kak,"] * 70) + " " + denied + "."
    model.reply = lambda body: long_reply if VOICE_ADDITION.strip() in body else REPLY

    shortcut(ord("R"))
    screen.wait_label("the changes", lambda t: t == "1 change to publish against live " + version)
    change = wait_until("the voice change read out", lambda: next(
        (n.name for n in screen.find_all(pyatspi.ROLE_LIST_ITEM)
         if VOICE_ADDITION.strip() in (n.name or "")), None))
    expect("Voice" in change, f"the change reads {change!r}")

    screen.press(screen.find("Test set", pyatspi.ROLE_PAGE_TAB))
    screen.press(screen.find("Add message"))
    second = screen.find("Test message 2", pyatspi.ROLE_TEXT)
    screen.click(second)
    screen.type("Hotel dekat Bandara Soekarno-Hatta")
    wait_until("the second message typed", lambda: screen.text(second).endswith("Hatta"))
    screen.press(screen.find("Run"))
    screen.wait_label("the run's progress", lambda t: t == "2 of 2")
    failure = screen.wait_label("a check failure", lambda t: t.startswith("Draft: Fails: "))
    expect(denied in failure and "words" in failure, f"the failure reads {failure!r}")
    screen.wait_label("a reply under live that passes", lambda t: t == "Live: Passes the checks")
    time.sleep(0.3)
    frame = screen.find("Vuzev Tavi", pyatspi.ROLE_FRAME)
    x, y, w, h = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    picture = os.path.join(os.path.dirname(os.path.abspath(args.screenshot)), "review-panel.png")
    subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                    picture], check=True, timeout=30, capture_output=True)
    shortcut(ord("R"))
    wait_until("the panel closed", lambda: not screen.find_all(pyatspi.ROLE_PAGE_TAB), 10)
    model.reply = REPLY


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("--program", "--service", "--seed", "--screenshot"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="tavi-a11y-")
    processes, model, screens, ok = Processes(workdir), ScriptedModel(REPLY), [], False
    try:
        session(args, processes, model, workdir, screens)
        ok = True
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        try:
            print(screens[0].dump() if screens else "", file=sys.stderr)
        except Exception as error:  # the program may be gone
            print(f"(no tree: {error})", file=sys.stderr)
    finally:
        processes.stop_all()
        model.close()
        for process in processes.started if not ok else []:
            print(f"--- {process.name} (exit {process.returncode})\n"
                  f"{processes.log(process)[-4000:]}", file=sys.stderr)
        shutil.rmtree(workdir, ignore_errors=True)
    print("PASS" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
