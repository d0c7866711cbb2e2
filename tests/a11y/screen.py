"""The program as AT-SPI shows it. Import only once DISPLAY and the session bus
of the run are in the environment: the accessibility library finds its bus
through them when it is first used."""

import pyatspi
from gi.repository import GLib

from harness import Failure, wait_until

CONTROL_MASK = 1 << 2
ALT_MASK = 1 << 3
F10 = 0xffc7
END = 0xff57
ESCAPE = 0xff1b


class Screen:
    def __init__(self, pid):
        def application():
            self.pump()
            for app in pyatspi.Registry.getDesktop(0):
                try:
                    if app is not None and app.get_process_id() == pid:
                        return app
                except GLib.Error:
                    pass

        self.app = wait_until("the program on the accessibility bus", application, 30)

    @staticmethod
    def pump():
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)

    def nodes(self):
        """Every node of the program's tree as it stands now."""
        self.pump()
        self.app.clear_cache()
        found, stack = [], [self.app]
        while stack:
            node = stack.pop()
            found.append(node)
            try:
                stack.extend(child for child in node if child is not None)
            except GLib.Error:
                pass  # gone while we looked
        return found

    def find_all(self, role=None, name=None):
        """The showing nodes of that role (any when None) and name (any when None)."""
        def matches(node):
            try:
                return ((role is None or node.getRole() == role)
                        and (name is None or node.name == name)
                        and node.getState().contains(pyatspi.STATE_SHOWING))
            except GLib.Error:
                return False

        return [node for node in self.nodes() if matches(node)]

    def find(self, name, role=pyatspi.ROLE_PUSH_BUTTON, timeout=30):
        """The one showing node of that role and name."""
        def one():
            nodes = self.find_all(role, name)
            return nodes[0] if len(nodes) == 1 else None

        return wait_until(f"one showing {role or 'node'} named {name!r}", one, timeout)

    def labels(self):
        return [node.name for node in self.find_all(pyatspi.ROLE_LABEL)]

    def wait_label(self, what, predicate, timeout=60):
        """The text of the first showing label that satisfies predicate."""
        return wait_until(what, lambda: next((t for t in self.labels() if predicate(t)), None),
                          timeout)

    def dump(self):
        """The tree as text, for a failure's report."""
        def walk(node, depth):
            yield f"{'  ' * depth}{node.getRoleName()} {node.name!r}"
            for child in node:
                if child is not None:
                    yield from walk(child, depth + 1)

        self.pump()
        self.app.clear_cache()
        return "\n".join(walk(self.app, 0))

    @staticmethod
    def text(node):
        node.clear_cache()
        text = node.queryText()
        return text.getText(0, text.characterCount)

    @staticmethod
    def press(node):
        actions = node.queryAction()
        names = [actions.getName(i).lower() for i in range(actions.nActions)]
        if "press" not in names or not actions.doAction(names.index("press")):
            raise Failure(f"{node.name!r} has no press action or refused it")

    @staticmethod
    def click(node, fx=0.5, fy=0.5):
        """A real pointer click at a fraction of the node's size: it also moves
        the pointer onto the window, which (with no window manager) is what
        gives the window the keyboard."""
        x, y, w, h = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(x + int(w * fx), y + int(h * fy), pyatspi.MOUSE_B1C)

    @staticmethod
    def key(sym):
        pyatspi.Registry.generateKeyboardEvent(sym, None, pyatspi.KEY_SYM)

    def with_control(self, sym, mask=CONTROL_MASK):
        pyatspi.Registry.generateKeyboardEvent(mask, None, pyatspi.KEY_LOCKMODIFIERS)
        try:
            self.key(sym)
        finally:
            pyatspi.Registry.generateKeyboardEvent(mask, None, pyatspi.KEY_UNLOCKMODIFIERS)

    def type(self, text):
        # One character at a time: the synthesizer maps each to a key of the
        # keymap, non-ASCII included.
        for char in text:
            code = ord(char)
            self.key(code if code < 0x100 else 0x1000000 + code)
