"""Drives the Deployer window over the accessibility bus as a screen reader user would: only
names, roles, states and actions, never coordinates. Installs a program and a chart set from
the demo service, makes a backup of them, and restores it. Prints what it hears; exits 1 on
the first thing that cannot be found or done.

  drive.py DEPLOYER DEMO_DIR EMAIL PASSWORD
"""
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

deployer, demo, email, password = sys.argv[1:5]
TIMEOUT = 30


def fail(what, root=None):
    print("FAILED:", what, flush=True)
    if root is not None:
        dump(root)
    sys.exit(1)


def dump(acc, depth=0):
    try:
        states = [pyatspi.stateToString(s) for s in acc.getState().getStates()
                  if s in (pyatspi.STATE_CHECKED, pyatspi.STATE_FOCUSED, pyatspi.STATE_CHECKABLE,
                           pyatspi.STATE_ENABLED)]
        print("  " * depth + f"{acc.getRoleName()} '{acc.name}' '{acc.description}' {states}")
        for i in range(acc.childCount):
            dump(acc.getChildAtIndex(i), depth + 1)
    except Exception as e:  # a window that went away while it was read
        print("  " * depth + f"({e})")


def walk(acc):
    try:
        yield acc
        for i in range(acc.childCount):
            child = acc.getChildAtIndex(i)
            if child is not None:
                yield from walk(child)
    except Exception:
        return


def showing(acc):
    try:
        return acc.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def enabled(acc):
    return acc.getState().contains(pyatspi.STATE_ENABLED)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == "Deployer":
            return app
    return None


def find(role, name=None, within=None, timeout=TIMEOUT, test=None):
    """The first showing accessible of the role (and name), waited for."""
    end = time.time() + timeout
    while True:
        root = within or application()
        if root is not None:
            for acc in walk(root):
                try:
                    roles = role if isinstance(role, tuple) else (role,)
                    if acc.getRole() not in roles or not showing(acc):
                        continue
                    if name is not None and acc.name != name:
                        continue
                    if test is not None and not test(acc):
                        continue
                    return acc
                except Exception:
                    continue
        if time.time() > end:
            fail(f"no {role} named {name!r}", root)
        time.sleep(0.2)


def act(acc, action=None):
    """Does the accessible's default action, or the named one."""
    iface = acc.queryAction()
    names = [iface.getName(i) for i in range(iface.nActions)]
    index = names.index(action) if action else 0
    iface.doAction(index)


def press(name, within=None):
    button = find(pyatspi.ROLE_PUSH_BUTTON, name, within, test=enabled)
    print(f"press {name}", flush=True)
    act(button, "Press" if "Press" in button_actions(button) else None)


def button_actions(acc):
    iface = acc.queryAction()
    return [iface.getName(i) for i in range(iface.nActions)]


def key(sym):
    """A key pressed on the keyboard (an X keysym), as the bus makes it."""
    pyatspi.Registry.generateKeyboardEvent(sym, None, pyatspi.KEY_SYM)
    time.sleep(0.15)


SPACE, HOME, DOWN, TAB = 0x20, 0xff50, 0xff54, 0xff09


def focus(acc):
    act(acc, "SetFocus")
    wait_for(lambda: acc.getState().contains(pyatspi.STATE_FOCUSED), f"focus on {acc.name!r}")


def type_into(name, text):
    """Focuses the edit named so and types the text on the keyboard."""
    edit = find((pyatspi.ROLE_TEXT, pyatspi.ROLE_PASSWORD_TEXT, pyatspi.ROLE_ENTRY), name)
    print(f"type into {name}", flush=True)
    focus(edit)
    edit.queryEditableText().setTextContents("")
    pyatspi.Registry.generateKeyboardEvent(0, text, pyatspi.KEY_STRING)
    wait_for(lambda: edit.queryText().getText(0, -1) == text or name == "Password", f"{name} typed")


def choose(name):
    radio = find(pyatspi.ROLE_RADIO_BUTTON, name)
    print(f"choose {name}", flush=True)
    act(radio)
    wait_for(lambda: radio.getState().contains(pyatspi.STATE_CHECKED), f"{name} checked")


def wait_for(done, what, timeout=TIMEOUT):
    end = time.time() + timeout
    while not done():
        if time.time() > end:
            fail(what, application())
        time.sleep(0.2)


def answer_box(expect, button):
    """A message box: a dialog or alert whose text (description or a label) is heard, answered."""
    def is_box(acc):
        return acc.name != "Deployer" or acc.description
    box = None
    end = time.time() + 600
    while box is None:
        app = application()
        for acc in walk(app) if app else []:
            try:
                if acc.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT) and showing(acc) and \
                        any(c.getRole() == pyatspi.ROLE_PUSH_BUTTON and c.name == button for c in walk(acc)):
                    box = acc
                    break
            except Exception:
                continue
        if box is None and time.time() > end:
            fail(f"no message box with {button}", app)
        time.sleep(0.3)
    heard = box.description or " ".join(
        c.name for c in walk(box) if c.getRole() == pyatspi.ROLE_LABEL and c.name)
    print(f"box '{box.name}': {heard}", flush=True)
    if expect not in heard:
        fail(f"expected the box to say {expect!r}", box)
    press(button, box)
    return heard


heard_ticks = []


def on_checked(event):
    try:
        heard_ticks.append((event.source.name, event.detail1))
    except Exception:
        pass


pyatspi.Registry.registerEventListener(on_checked, "object:state-changed:checked")


def hear(name, ticked, what):
    """Waits until the bus said that the row named so is now ticked (or not)."""
    def said():
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)
        return (name, 1 if ticked else 0) in heard_ticks
    wait_for(said, what)


def tree_rows():
    tree = find((pyatspi.ROLE_TREE_TABLE, pyatspi.ROLE_TREE, pyatspi.ROLE_TABLE))
    cells = [c for c in walk(tree) if c.getRole() in (pyatspi.ROLE_TABLE_CELL, pyatspi.ROLE_TREE_ITEM)]
    return tree, cells


def tickable(cell):
    try:
        return "Toggle" in button_actions(cell)
    except Exception:
        return False


def tick_all():
    """Walks the product tree with the arrow keys as a screen reader user does, hearing each
    row's name, status and tick, and ticks with the space bar every row that is not ticked."""
    tree, cells = tree_rows()
    # Tab to the tree, as from the keyboard.
    for _ in range(20):
        if tree.getState().contains(pyatspi.STATE_FOCUSED) or \
                any(c.getState().contains(pyatspi.STATE_FOCUSED) for c in tree_rows()[1]):
            break
        key(TAB)
    else:
        fail("Tab does not reach the product tree", application())
    key(HOME)
    heard = []
    for _ in range(len(cells)):
        _, cells = tree_rows()
        current = [i for i, c in enumerate(cells) if c.getState().contains(pyatspi.STATE_FOCUSED)]
        if not current:
            fail("no row has the focus", tree)
        i = current[0]
        # Cells come by row: name, then status.
        i -= i % 2
        name, status = cells[i].name, cells[i + 1].name
        if heard and heard[-1][0] == i:
            break  # the last row
        ticked = cells[i].getState().contains(pyatspi.STATE_CHECKED)
        if name and not ticked and tickable(cells[i]):
            # The tick box's own action ticks and unticks, as the space bar does, and the new
            # state is heard each time.
            del heard_ticks[:]
            act(cells[i], "Toggle")
            hear(name, True, f"{name!r} ticked by its Toggle action")
            act(tree_rows()[1][i], "Toggle")
            hear(name, False, f"{name!r} unticked by its Toggle action")
            key(SPACE)
            hear(name, True, f"{name!r} ticked by the space bar")
            ticked = tree_rows()[1][i].getState().contains(pyatspi.STATE_CHECKED)
        if status and cells[i].description != status:
            fail(f"row {name!r} does not tell its status {status!r}", tree)
        heard.append((i, name, status, ticked))
        print(f"row '{name}' '{status}' ticked={ticked}", flush=True)
        key(DOWN)
    if not any(t for _, _, s, t in heard if s):
        fail("no product row was ticked", tree)


def destination(folder):
    choose("User defined folder")
    type_into("User defined folder", folder)


def run_wizard(steps):
    env = dict(os.environ)
    # No locale, as on a fresh server or in a container.
    for name in ("LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"):
        env.pop(name, None)
    proc = subprocess.Popen([deployer], env=env)
    try:
        steps()
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    print("wizard ended", proc.returncode, flush=True)


def install():
    # A first start asks for the language.
    lst = find(pyatspi.ROLE_LIST)
    english = [c for c in walk(lst) if c.getRole() == pyatspi.ROLE_LIST_ITEM and c.name == "English"]
    if not english:
        fail("no English in the language list", lst)
    # The list is named as a list of languages, and without a locale (the wizard runs with
    # none) English comes selected, so OK is ready at once.
    if lst.name != "Language":
        fail(f"the language list is named {lst.name!r}", lst)
    if not english[0].getState().contains(pyatspi.STATE_SELECTED):
        fail("English is not preselected without a locale", lst)
    press("OK")
    choose("Install software and chart from the internet")
    press("Next")
    type_into("E-mail address", email)
    type_into("Password", password)
    press("Next")
    tick_all()
    press("Next")
    destination(os.path.join(demo, "programs"))
    press("Next")
    find(pyatspi.ROLE_PROGRESS_BAR, timeout=60)
    answer_box("installed successfully", "No")


def backup():
    choose("Create/update installation backup")
    press("Next")
    type_into("E-mail address", email)
    type_into("Password", password)
    press("Next")
    destination(os.path.join(demo, "backup"))
    press("Next")
    tick_all()
    press("Next")
    answer_box("created successfully", "No")


def restore():
    choose("Install from a backup")
    press("Next")
    choose("Install from a chosen backup folder")
    type_into("Install from a chosen backup folder", os.path.join(demo, "backup"))
    press("Next")
    tick_all()
    press("Next")
    destination(os.path.join(demo, "restored"))
    press("Next")
    answer_box("successfully", "No")


run_wizard(install)
run_wizard(backup)
run_wizard(restore)
print("done", flush=True)
