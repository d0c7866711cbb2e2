"""The program as AT-SPI shows it. Import only once DISPLAY and the session bus
of the run are in the environment: the accessibility library finds its bus
through them when it is first used."""

import pyatspi
from gi.repository import GLib

from harness import Failure, wait_until

CONTROL_MASK = 1 << 2
END = 0xff57
ESCAPE = 0xff1b


def keysym(char):
    code = ord(char)
    return code if code < 0x100 else 0x1000000 + code


class Screen:
    def __init__(self, pid, timeout=30):
        desktop = pyatspi.Registry.getDesktop(0)

        def application():
            self.pump()
            for app in desktop:
                try:
                    if app is not None and app.get_process_id() == pid:
                        return app
                except GLib.Error:
                    pass
            return None

        self.app = wait_until("the program on the accessibility bus", application, timeout)

    @staticmethod
    def pump():
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)

    def nodes(self):
        """Every node of the program's tree as it stands now."""
        self.pump()
        self.app.clear_cache()
        found = []
        stack = [self.app]
        while stack:
            node = stack.pop()
            found.append(node)
            try:
                stack.extend(child for child in node if child is not None)
            except GLib.Error:
                pass  # gone while we looked
        return found

    def find_all(self, role, name=None, showing=True):
        result = []
        for node in self.nodes():
            try:
                if node.getRole() != role or (name is not None and node.name != name):
                    continue
                if showing and not node.getState().contains(pyatspi.STATE_SHOWING):
                    continue
            except GLib.Error:
                continue
            result.append(node)
        return result

    def find(self, role, name, timeout=30):
        def one():
            nodes = self.find_all(role, name)
            return nodes[0] if len(nodes) == 1 else None

        return wait_until(f"one showing {pyatspi.Role(role)} named {name!r}", one, timeout)

    def find_named(self, name, timeout=30):
        """The one showing node of any role named name."""
        def one():
            nodes = [n for n in self.nodes() if n.name == name
                     and n.getState().contains(pyatspi.STATE_SHOWING)]
            return nodes[0] if len(nodes) == 1 else None

        return wait_until(f"one showing node named {name!r}", one, timeout)

    def dump(self):
        """The tree as text, for a failure's report."""
        lines = []

        def walk(node, depth):
            try:
                actions = node.queryAction()
                names = [actions.getName(i) for i in range(actions.nActions)]
            except NotImplementedError:
                names = []
            lines.append(f"{'  ' * depth}{node.getRoleName()} {node.name!r} {names}")
            for child in node:
                if child is not None:
                    walk(child, depth + 1)

        self.pump()
        self.app.clear_cache()
        walk(self.app, 0)
        return "\n".join(lines)

    def labels(self):
        return [node.name for node in self.find_all(pyatspi.ROLE_LABEL)]

    def wait_label(self, what, predicate, timeout=60):
        """The text of the first showing label that satisfies predicate."""
        return wait_until(what, lambda: next((t for t in self.labels() if predicate(t)), None),
                          timeout)

    @staticmethod
    def text(node):
        node.clear_cache()
        text = node.queryText()
        return text.getText(0, text.characterCount)

    @staticmethod
    def press(node, action="Press"):
        actions = node.queryAction()
        for i in range(actions.nActions):
            if actions.getName(i).lower() == action.lower():
                if not actions.doAction(i):
                    raise Failure(f"{node.name!r} refused its {action} action")
                return
        raise Failure(f"{node.name!r} has no {action} action")

    def click(self, node):
        """A real pointer click in the middle of the node: it also moves the
        pointer onto the window, which (with no window manager) is what gives
        the window the keyboard."""
        x, y, w, h = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(x + w // 2, y + h // 2, pyatspi.MOUSE_B1C)

    def click_at(self, node, fx, fy):
        """A pointer click at a fraction of the node's width and height."""
        x, y, w, h = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(x + int(w * fx), y + int(h * fy), pyatspi.MOUSE_B1C)

    @staticmethod
    def key(sym):
        pyatspi.Registry.generateKeyboardEvent(sym, None, pyatspi.KEY_SYM)

    def with_control(self, sym):
        pyatspi.Registry.generateKeyboardEvent(CONTROL_MASK, None, pyatspi.KEY_LOCKMODIFIERS)
        try:
            self.key(sym)
        finally:
            pyatspi.Registry.generateKeyboardEvent(CONTROL_MASK, None, pyatspi.KEY_UNLOCKMODIFIERS)

    def type(self, text):
        # One character at a time: the synthesizer maps each to a key of the
        # keymap, non-ASCII included.
        for char in text:
            self.key(keysym(char))
