"""What the session's applications show, as their accessibility (AT-SPI) trees, with each element's box
in the compositor's layout pixels, the coordinates of Desktop.click() and screenshot().

    tree = desktop.accessibility()
    for element in tree:                       # depth first, applications included
        print(element.role, element.name, element.box)
    tree.xml()                                 # OSWorld's XML
    tree.table()                               # the linearised table agents get
    image, marks = tree.marks(desktop.screenshot())   # set-of-marks

On Wayland a window does not know where the compositor put it: toolkits report "screen" extents
relative to their window. Boxes here are the window-relative extents plus the window's place in
sway's tree (matched by process id, then title and size). Elements of windows sway does not place
(popup menus, other compositors) have no box.
"""

from __future__ import annotations

import dataclasses
import difflib
import math
import time
import html
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import NamedTuple

from . import _atspi
from ._atspi import ACCESSIBLE, ACTION, COMPONENT, PROPERTIES, TEXT, VALUE, AccessibilityUnavailable, CallFailed
from .vision import Box

__all__ = ["AccessibilityTree", "AccessibilityUnavailable", "Element", "ElementNotFound", "Locator", "Value",
           "ARIA_ROLES", "MAX_DEPTH", "MAX_WIDTH", "NAMESPACES"]

MAX_DEPTH = 50
MAX_WIDTH = 1024

# OSWorld's namespaces for its Ubuntu XML.
_NS_BASE = "https://accessibility.ubuntu.example.org/ns/"
NAMESPACES = {
    "st": _NS_BASE + "state",
    "attr": _NS_BASE + "attributes",
    "cp": _NS_BASE + "component",
    "doc": _NS_BASE + "document",
    "docattr": _NS_BASE + "document/attributes",
    "txt": _NS_BASE + "text",
    "val": _NS_BASE + "value",
    "act": _NS_BASE + "action",
}

# ARIA roles by the AT-SPI roles that toolkits map them to.
ARIA_ROLES = {
    "button": ("push button", "toggle button", "push button menu"),
    "checkbox": ("check box", "check menu item"),
    "radio": ("radio button", "radio menu item"),
    "textbox": ("entry", "text", "password text"),
    "searchbox": ("entry",),
    "combobox": ("combo box",),
    "link": ("link",),
    "heading": ("heading",),
    "list": ("list", "list box"),
    "listbox": ("list box", "list"),
    "listitem": ("list item",),
    "option": ("list item",),
    "menu": ("menu", "popup menu"),
    "menubar": ("menu bar",),
    "menuitem": ("menu item", "check menu item", "radio menu item"),
    "menuitemcheckbox": ("check menu item",),
    "menuitemradio": ("radio menu item",),
    "slider": ("slider",),
    "spinbutton": ("spin button",),
    "tab": ("page tab",),
    "tablist": ("page tab list",),
    "tabpanel": ("scroll pane", "panel"),
    "table": ("table",),
    "grid": ("table", "tree table"),
    "row": ("table row",),
    "cell": ("table cell",),
    "gridcell": ("table cell",),
    "columnheader": ("column header", "table column header"),
    "rowheader": ("row header", "table row header"),
    "tree": ("tree", "tree table"),
    "treeitem": ("tree item", "table cell"),
    "dialog": ("dialog",),
    "alertdialog": ("dialog", "alert"),
    "alert": ("alert", "notification"),
    "img": ("image", "icon"),
    "image": ("image", "icon"),
    "progressbar": ("progress bar",),
    "scrollbar": ("scroll bar",),
    "separator": ("separator",),
    "toolbar": ("tool bar",),
    "tooltip": ("tool tip",),
    "status": ("status bar",),
    "paragraph": ("paragraph",),
    "document": ("document web", "document frame", "document text"),
    "group": ("grouping", "panel", "section"),
    "region": ("landmark", "section"),
    "form": ("form",),
    "article": ("article",),
    "switch": ("toggle button", "check box"),
    "window": ("frame", "window"),
    "application": ("application",),
}


class Value(NamedTuple):
    current: float
    minimum: float
    maximum: float
    step: float


@dataclass(eq=False)
class Element:
    """One accessible object. `box` is (left, top, width, height) in layout pixels, or None where
    it has no known place; `states` are AT-SPI's (as OSWorld names them: "showing", "multi_line");
    `text` is what its text interface holds (None without one); `actions` what its action interface
    offers."""

    role: str
    name: str
    description: str = ""
    states: frozenset[str] = frozenset()
    text: str | None = None
    value: Value | None = None
    actions: tuple[str, ...] = ()
    box: Box | None = None
    attributes: dict[str, str] = field(default_factory=dict)
    children: list[Element] = field(default_factory=list)
    parent: Element | None = field(default=None, repr=False)
    application: str = ""
    pid: int | None = None
    interfaces: tuple[str, ...] = field(default=(), repr=False)
    # (bus name, object path) on the accessibility bus
    ref: tuple[str, str] = field(default=("", ""), repr=False)
    key_bindings: tuple[str, ...] = field(default=(), repr=False)
    action_descriptions: tuple[str, ...] = field(default=(), repr=False)
    # Whether it shows on the screen, by its states: "visible" and "showing", or "visible" alone for
    # GTK 4, which sets "showing" on its windows only.
    showing: bool = field(default=True, repr=False)
    _window_box: tuple[int, int, int, int] | None = field(default=None, repr=False)

    def __iter__(self) -> Iterator[Element]:
        """This element and everything under it, depth first."""
        stack = [self]
        while stack:
            e = stack.pop()
            yield e
            stack.extend(reversed(e.children))

    @property
    def center(self) -> tuple[int, int] | None:
        if self.box is None:
            return None
        return self.box.left + self.box.width // 2, self.box.top + self.box.height // 2

    @property
    def tag(self) -> str:
        """The element's XML tag: its role, with spaces as "-"."""
        return (self.role.strip() or "unknown").replace(" ", "-")

    def describe(self) -> str:
        where = f" at {tuple(self.box)}" if self.box else ""
        return f"{self.role} {self.name!r}{where} ({self.application})"


class AccessibilityTree:
    """The applications' trees read at one moment: iterate for every element, depth first."""

    def __init__(self, applications: list[Element]):
        self.applications = applications

    def __iter__(self) -> Iterator[Element]:
        for app in self.applications:
            yield from app

    def __len__(self) -> int:
        return sum(1 for _ in self)

    def find_all(self, role: str | None = None, name: str | re.Pattern | None = None, *,
                 text: str | re.Pattern | None = None, exact: bool = False,
                 states: Sequence[str] = ()) -> list[Element]:
        """Elements with the role (AT-SPI, "push button", or ARIA, "button"), whose name (or text)
        contains `name` (case-insensitive; equals it with `exact`; matches it if a pattern), and
        that have all of `states`."""
        roles = _roles(role) if role is not None else None
        return [e for e in self if (roles is None or e.role in roles)
                and (name is None or _matches(e.name, name, exact))
                and (text is None or _matches(e.text or "", text, exact) or _matches(e.name, text, exact))
                and all(s in e.states for s in states)]

    def close_matches(self, role: str | None, name, text=None, n: int = 5) -> list[Element]:
        """The elements most like what was searched for, best first."""
        wanted = " ".join(str(getattr(x, "pattern", x)) for x in (role, name, text) if x is not None).lower()
        scored = []
        for e in self:
            if e.role == "application":
                continue
            label = f"{e.role} {e.name} {e.text or ''}".lower()
            scored.append((difflib.SequenceMatcher(None, wanted, label).ratio(), id(e), e))
        scored.sort(key=lambda t: (-t[0], t[1]))
        return [e for _, _, e in scored[:n]]

    def in_pixels_of(self, origin: tuple[int, int], scale: tuple[float, float],
                     size: tuple[int, int]) -> AccessibilityTree:
        """A copy whose boxes are in the pixels of an image of the layout from `origin`, scaled by
        `scale` (x, y) and `size` pixels large (a screenshot as a model or an agent sees it): boxes
        cut to the image, None for elements wholly outside it."""
        def convert(e: Element, parent: Element | None) -> Element:
            copy = dataclasses.replace(e, parent=parent, children=[], box=_mapped(e.box, origin, scale, size))
            copy.children = [convert(c, copy) for c in e.children]
            return copy
        return AccessibilityTree([convert(app, None) for app in self.applications])

    # -- formats -------------------------------------------------------------------------------------

    def xml(self) -> str:
        """The tree as OSWorld's environment server gives it: a desktop-frame root, one element per
        node tagged with its role, states as st:NAME="true", toolkit attributes as attr:NAME, the box as
        cp:screencoord="(x, y)" and cp:size="(w, h)", text as element text, value as val:value/min/max/step,
        actions as act:NAME_desc and act:NAME_kb."""
        out = ['<desktop-frame ' + " ".join(f'xmlns:{k}="{v}"' for k, v in NAMESPACES.items())
               + ' name="main">']
        for app in self.applications:
            _xml(app, out)
        out.append("</desktop-frame>")
        return "".join(out)

    def agent_elements(self) -> list[Element]:
        """The elements OSWorld's agents are shown: roles that can be acted on or read, showing,
        enabled (or editable, expandable, checkable), named or with text, with a box on the screen."""
        kept = []
        for e in self:
            tag = e.tag
            role_ok = (tag.startswith("document") or tag.endswith(("item", "button", "heading", "label",
                                                                    "scrollbar", "searchbox", "textbox",
                                                                    "link", "tabelement", "textfield",
                                                                    "textarea", "menu"))
                       or tag in _AGENT_TAGS)
            if not (role_ok and e.showing):
                continue
            if not (_enabled(e) or {"editable", "expandable", "checkable"} & e.states):
                continue
            if not (e.name or e.text):
                continue
            if e.box is None or e.box.left < 0 or e.box.top < 0 or e.box.width <= 0 or e.box.height <= 0:
                continue
            kept.append(e)
        return kept

    def table(self, *, max_chars: int | None = 40_000) -> str:
        """The linearised tree agents are given: one tab-separated line per agent element (tag, name,
        text, class, description, position, size) under a header, cut at `max_chars` (about
        OSWorld's 10,000 tokens)."""
        lines = ["tag\tname\ttext\tclass\tdescription\tposition (top-left x&y)\tsize (w&h)"]
        for e in self.agent_elements():
            lines.append("\t".join((e.tag, e.name, _cell(e.text if e.text is not None else ""),
                                    e.attributes.get("class", ""), e.description,
                                    f"({e.box.left}, {e.box.top})", f"({e.box.width}, {e.box.height})")))
        text = "\n".join(lines)
        if max_chars is not None and len(text) > max_chars:
            text = text[:max_chars] + "[...]"
        return text

    def marks(self, screenshot, *, origin: tuple[int, int] = (0, 0), order: str = "BGR"):
        """Set-of-marks: a copy of `screenshot` (an HxWx3 or HxWx4 numpy array whose top-left pixel
        is layout point `origin`; channels in `order`, "BGR" as Desktop.screenshot() gives them, or
        "RGB") with each agent element's box drawn in red and numbered from 1, and the list of marks:
        (number, element); `marks_text()` gives the list as agents get it. Elements outside the image
        are left out."""
        import cv2
        import numpy as np

        image = np.ascontiguousarray(screenshot).copy()
        h, w = image.shape[:2]
        marks: list[tuple[int, Element]] = []
        if order not in ("BGR", "RGB"):
            raise ValueError(f"bad channel order {order!r}: expected 'BGR' or 'RGB'")
        colour = ((0, 0, 255) if order == "BGR" else (255, 0, 0)) + ((255,) if image.shape[2] == 4 else ())
        for e in self.agent_elements():
            left, top = e.box.left - origin[0], e.box.top - origin[1]
            right, bottom = left + e.box.width - 1, top + e.box.height - 1
            if right < 0 or bottom < 0 or left >= w or top >= h:
                continue
            number = len(marks) + 1
            cv2.rectangle(image, (left, top), (right, bottom), colour, 1)
            label = str(number)
            (tw, th), base = cv2.getTextSize(label, cv2.FONT_HERSHEY_SIMPLEX, 0.4, 1)
            x, y = max(left, 0), min(max(bottom, th + base), h - 1)
            cv2.rectangle(image, (x, y - th - base), (x + tw + 2, y), (0, 0, 0) + colour[3:], -1)
            cv2.putText(image, label, (x + 1, y - base), cv2.FONT_HERSHEY_SIMPLEX, 0.4,
                        (255, 255, 255) + colour[3:], 1, cv2.LINE_AA)
            marks.append((number, e))
        return image, marks

    @staticmethod
    def marks_text(marks: Sequence[tuple[int, Element]]) -> str:
        lines = ["index\ttag\tname\ttext"]
        for number, e in marks:
            lines.append(f"{number}\t{e.tag}\t{e.name}\t{_cell(e.text or '') or chr(34) * 2}")
        return "\n".join(lines)


_AGENT_TAGS = {"alert", "canvas", "check-box", "combo-box", "entry", "icon", "image", "paragraph", "scroll-bar",
               "section", "slider", "static", "table-cell", "terminal", "text"}


def _mapped(box: Box | None, origin, scale, size) -> Box | None:
    if box is None:
        return None
    left = max(math.floor((box.left - origin[0]) * scale[0]), 0)
    top = max(math.floor((box.top - origin[1]) * scale[1]), 0)
    right = min(math.ceil((box.left + box.width - origin[0]) * scale[0]), size[0])
    bottom = min(math.ceil((box.top + box.height - origin[1]) * scale[1]), size[1])
    if right <= left or bottom <= top:
        return None
    return Box(left, top, right - left, bottom - top)


def _enabled(e: Element) -> bool:
    # GTK 4 (to 4.10 at least) says "sensitive" and never "enabled"; other toolkits say both or neither.
    return "enabled" in e.states or "sensitive" in e.states


def _cell(text: str) -> str:
    return f'"{text.replace(chr(34), chr(34) * 2)}"' if '"' in text or "\t" in text or "\n" in text else text


def _roles(role: str) -> frozenset[str]:
    key = role.strip().lower()
    found = set(ARIA_ROLES.get(key.replace(" ", "").replace("-", ""), ()))
    spaced = key.replace("-", " ").replace("_", " ")
    if spaced in _atspi.ROLES:
        found.add(spaced)
    if not found:
        raise ValueError(f"unknown role {role!r}: expected an AT-SPI role (such as 'push button') or an ARIA "
                         f"role (such as 'button')")
    return frozenset(found)


def _matches(value: str, wanted, exact: bool) -> bool:
    if isinstance(wanted, re.Pattern):
        return wanted.search(value) is not None
    if exact:
        return value == wanted
    return wanted.casefold() in value.casefold()


def _attr(name: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]", "_", name) or "_"


def _xml(e: Element, out: list[str]) -> None:
    q = lambda s: html.escape(s, quote=True)  # noqa: E731
    attrs = [f'name="{q(e.name)}"']
    attrs += [f'st:{s}="true"' for s in sorted(e.states)]
    attrs += [f'attr:{_attr(k)}="{q(v)}"' for k, v in e.attributes.items() if k]
    if e.box is not None and e.showing:
        attrs.append(f'cp:screencoord="({e.box.left}, {e.box.top})"')
        attrs.append(f'cp:size="({e.box.width}, {e.box.height})"')
    if e.value is not None:
        for key, v in zip(("value", "min", "max", "step"), e.value):
            attrs.append(f'val:{key}="{v!r}"')
    for n, action in enumerate(e.actions):
        a = _attr(action.replace(" ", "-"))
        desc = e.action_descriptions[n] if n < len(e.action_descriptions) else ""
        kb = e.key_bindings[n] if n < len(e.key_bindings) else ""
        attrs.append(f'act:{a}_desc="{q(desc)}"')
        attrs.append(f'act:{a}_kb="{q(kb)}"')
    head = f"<{e.tag} {' '.join(attrs)}"
    text = (e.text or "").replace("\ufffc", "").replace("\ufffd", "")
    if not e.children and not text:
        out.append(head + "/>")
        return
    out.append(head + ">" + html.escape(text, quote=False))
    for child in e.children:
        _xml(child, out)
    out.append(f"</{e.tag}>")


# -- reading -----------------------------------------------------------------------------------------


def read(bus: _atspi.Bus, *, showing_only: bool = True, max_depth: int = MAX_DEPTH,
         max_width: int = MAX_WIDTH, swaysock: str | None = None) -> AccessibilityTree:
    """Reads every registered application's tree: the cache's bulk read where the toolkit has one;
    else, for the showing tree, each window's showing elements found by the toolkit in one call
    (the collection interface's GetMatches) and read in one batch; else a level-by-level walk (each
    level's calls sent together). Then every element's extents, text, value, actions and attributes
    in one more batch. A read is a handful of round trips however many elements there are."""
    registry = bus.batch([(*_atspi.REGISTRY, ACCESSIBLE, "GetChildren")])[0]
    if isinstance(registry, CallFailed):
        raise AccessibilityUnavailable(f"the accessibility registry did not answer: {registry}")
    app_refs = [tuple(r) for r in registry[0]]
    calls = []
    for name, path in app_refs:
        calls += [(name, path, _atspi.APPLICATION, "GetApplicationBusAddress"),
                  ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                   "GetConnectionUnixProcessID", "s", (name,))]
    replies = bus.batch(calls)
    pids = {name: _first(replies[2 * n + 1], None) for n, (name, _) in enumerate(app_refs)}
    bus.use_peers({name: (_first(replies[2 * n], ""), pids[name]) for n, (name, _) in enumerate(app_refs)
                   if _first(replies[2 * n], "") and pids[name]})
    calls = []
    for name, path in app_refs:
        calls += [(name, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems"),
                  (name, path, PROPERTIES, "Get", "ss", (ACCESSIBLE, "Name")),
                  (name, path, ACCESSIBLE, "GetChildren"),
                  (name, path, PROPERTIES, "Get", "ss", (_atspi.APPLICATION, "ToolkitName")),
                  (name, path, PROPERTIES, "Get", "ss", (_atspi.APPLICATION, "Version"))]
    replies = bus.batch(calls)
    keep: dict[str, object] = {}  # per application's bus name: whether an element shows, by its states
    apps: list[Element] = []
    walk: list[tuple[tuple[str, str], Element, int]] = []  # (ref, parent, depth) still to read
    collect: list[tuple[tuple[str, str], Element, int]] = []  # windows whose showing elements to gather
    for n, (name, path) in enumerate(app_refs):
        items, app_name, children, toolkit, version = replies[5 * n:5 * n + 5]
        if isinstance(children, CallFailed):
            continue  # gone meanwhile
        app = Element(role="application", name=_first(app_name, ""), ref=(name, path),
                      pid=pids[name], interfaces=(ACCESSIBLE, _atspi.APPLICATION))
        app.application = app.name
        app.attributes = {"toolkit": str(_first(toolkit, "")), "toolkit_version": str(_first(version, ""))}
        apps.append(app)
        # GTK 4 (to 4.10 at least) sets "showing" on its windows only; "visible" is what it keeps right.
        gtk4 = app.attributes["toolkit"].upper() == "GTK" and app.attributes["toolkit_version"].startswith("4.")
        keep[name] = _Showing(_atspi.is_visible if gtk4 else _atspi.is_showing, showing_only)
        cached = _from_cache(app, items, children[0], keep[name], max_depth, max_width, walk, collect)
        if not cached:
            tops = [(tuple(r), app, 1) for r in children[0][:max_width]]
            (collect if showing_only and not gtk4 else walk).extend(tops)
    walk += _collect(bus, collect, keep, max_depth, max_width)
    _walk(bus, walk, keep, max_depth, max_width)
    elements = [e for app in apps for e in app if e.role != "application"]
    _details(bus, elements)
    _place(apps, _atspi.sway_windows(_atspi.sway_tree(swaysock)))
    return AccessibilityTree(apps)


def _first(reply, default):
    if isinstance(reply, CallFailed) or not reply:
        return default
    return _atspi.plain(reply[0])


class _Showing(NamedTuple):
    shows: object  # states -> whether the element shows, as its toolkit tells
    only: bool  # whether elements that do not show are left out


def _element(parent: Element, ref, role: int, name: str, description: str, states, interfaces,
             keep: _Showing) -> Element | None:
    shows = keep.shows(states)
    if keep.only and not shows:
        return None
    e = Element(role=_atspi.role_name(role), name=name, description=description,
                states=_atspi.states_of(states), parent=parent, application=parent.application,
                pid=parent.pid, interfaces=tuple(interfaces), ref=ref, showing=shows)
    parent.children.append(e)
    return e


def _from_cache(app: Element, items, toplevels, keep, max_depth: int, max_width: int,
                walk: list, collect: list) -> bool:
    """Builds the app's tree from the cache's items; False if the cache gave nothing to build from.
    Children the cache leaves out (those of objects that manage their descendants) go to `walk`, or
    to `collect` when only what shows is wanted."""
    if isinstance(items, CallFailed) or not items or not items[0]:
        return False
    item_of: dict[tuple[str, str], tuple] = {}
    by_parent: dict[tuple[str, str], list[tuple]] = {}
    for item in items[0]:
        # (self, app, parent, index in parent, child count, interfaces, name, role, description, states);
        # at-spi2 before 2.34 had the children's list in place of the index and count.
        if len(item) != 10 or not isinstance(item[3], int):
            return False
        item_of[tuple(item[0])] = item
        by_parent.setdefault(tuple(item[2]), []).append(item)
    if not any(tuple(r) in item_of for r in toplevels):
        return False
    for siblings in by_parent.values():
        siblings.sort(key=lambda it: it[3])
    stack = [(app, tuple(r), 1) for r in reversed(toplevels[:max_width])]
    while stack:
        parent, ref, depth = stack.pop()
        item = item_of.get(ref)
        if item is None:
            walk.append((ref, parent, depth))
            continue
        e = _element(parent, ref, item[7], item[6], item[8], item[9], item[5], keep)
        if e is None or depth >= max_depth:
            continue
        kids = by_parent.get(ref, [])
        # The cache leaves out what is under an object that manages its descendants, and gives it a
        # count of children that says nothing (at-spi2-core 2.46 gives 0): those are asked for.
        if len(kids) < min(item[4], max_width) or item[9][0] >> _MANAGES & 1:
            (collect if keep.only else walk).append((None, e, depth + 1))
        else:
            stack.extend((e, tuple(k[0]), depth + 1) for k in reversed(kids[:max_width]))
    return True


# GetMatches's rule: states showing and visible (all of them), any attributes, roles and interfaces;
# canonical order (depth first, parents before children), no limit, the whole subtree.
_SHOWING_RULE: tuple = (([1 << _atspi.STATES.index("showing") | 1 << _atspi.STATES.index("visible"), 0], 1, {}, 1, [], 1,
                  [], 1, False), 1, 0, True)


def _collect(bus: _atspi.Bus, tops: list, keep: dict, max_depth: int, max_width: int) -> list:
    """Reads each object in `tops`, (ref, parent, depth), and the showing elements under it (the
    toolkit lists them in one call); an entry whose ref is None stands for its parent, already read,
    whose showing descendants are wanted. Returns the walk entries for objects whose toolkit cannot
    list them."""
    calls = []
    for ref, parent, _ in tops:
        if ref is not None:
            calls += [(*ref, ACCESSIBLE, "GetState"), (*ref, ACCESSIBLE, "GetRole"),
                      (*ref, PROPERTIES, "GetAll", "s", (ACCESSIBLE,)), (*ref, ACCESSIBLE, "GetInterfaces")]
        calls.append((*(ref or parent.ref), "org.a11y.atspi.Collection", "GetMatches", "(aiia{ss}iaiiasib)uib",
                      _SHOWING_RULE))
    replies = bus.batch(calls)
    walk, found, at = [], [], 0
    for ref, parent, depth in tops:
        if ref is None:
            top, matches, depth = parent, replies[at], depth - 1
            at += 1
        else:
            state, role, props, interfaces, matches = replies[at:at + 5]
            at += 5
            if any(isinstance(r, CallFailed) for r in (state, role, props, interfaces)):
                continue
            values = {k: _atspi.plain(v) for k, v in props[0].items()}
            top = _element(parent, ref, role[0], values.get("Name", ""), values.get("Description", ""), state[0],
                           interfaces[0], keep[ref[0]])
            if top is None or depth >= max_depth:
                continue
        if isinstance(matches, CallFailed):
            walk.append((None, top, depth + 1))
        else:
            found += [(tuple(r), top, depth) for r in matches[0] if tuple(r) != top.ref]
    calls = []
    for ref, _, _ in found:
        calls += [(*ref, ACCESSIBLE, "GetState"), (*ref, ACCESSIBLE, "GetRole"),
                  (*ref, PROPERTIES, "GetAll", "s", (ACCESSIBLE,)), (*ref, ACCESSIBLE, "GetInterfaces")]
    replies = bus.batch(calls)
    placed: dict[tuple[str, str], tuple[Element, int]] = {}
    for n, (ref, top, top_depth) in enumerate(found):
        state, role, props, interfaces = replies[4 * n:4 * n + 4]
        if any(isinstance(r, CallFailed) for r in (state, role, props, interfaces)):
            continue
        values = {k: _atspi.plain(v) for k, v in props[0].items()}
        # Canonical order puts a parent first; one that does not show hands its children to the window.
        parent, depth = placed.get(tuple(values.get("Parent", ("", ""))), (top, top_depth))
        if depth + 1 > max_depth or len(parent.children) >= max_width:
            continue
        e = _element(parent, ref, role[0], values.get("Name", ""), values.get("Description", ""), state[0],
                     interfaces[0], keep[ref[0]])
        if e is not None:
            placed[ref] = (e, depth + 1)
    return walk


def _walk(bus: _atspi.Bus, todo: list, keep: dict, max_depth: int, max_width: int) -> None:
    """Reads the objects in `todo`, (ref, parent, depth), and what is under them, two batches a
    level: the states first, then the rest of those that are showing (a list of thousands of rows
    shows a few dozen). An entry whose ref is None asks for the children of its parent, already read."""
    while todo:
        wanted = [entry for entry in todo if entry[0] is not None]
        asked = [entry for entry in todo if entry[0] is None]
        replies = bus.batch([(*ref, ACCESSIBLE, "GetState") for ref, _, _ in wanted]
                            + [(*parent.ref, ACCESSIBLE, "GetChildren") for _, parent, _ in asked])
        todo = []
        for (_, parent, depth), children in zip(asked, replies[len(wanted):]):
            if not isinstance(children, CallFailed):
                todo += [(tuple(r), parent, depth) for r in children[0][:max_width] if r[1] != _atspi.NULL_PATH]
        shown = [(entry, state[0]) for entry, state in zip(wanted, replies)
                 if not isinstance(state, CallFailed)
                 and (not keep[entry[0][0]].only or keep[entry[0][0]].shows(state[0]))]
        calls = []
        for ((ref, _, _), _) in shown:
            calls += [(*ref, ACCESSIBLE, "GetRole"), (*ref, PROPERTIES, "GetAll", "s", (ACCESSIBLE,)),
                      (*ref, ACCESSIBLE, "GetInterfaces"), (*ref, ACCESSIBLE, "GetChildren")]
        replies = bus.batch(calls)
        for n, ((ref, parent, depth), state) in enumerate(shown):
            role, props, interfaces, children = replies[4 * n:4 * n + 4]
            if any(isinstance(r, CallFailed) for r in (role, props, interfaces)):
                continue  # gone meanwhile
            values = {k: _atspi.plain(v) for k, v in props[0].items()}
            e = _element(parent, ref, role[0], values.get("Name", ""), values.get("Description", ""), state,
                         interfaces[0], keep[ref[0]])
            if depth >= max_depth or isinstance(children, CallFailed):
                continue
            todo += [(tuple(r), e, depth + 1) for r in children[0][:max_width] if r[1] != _atspi.NULL_PATH]


def _details(bus: _atspi.Bus, elements: list[Element]) -> None:
    """Extents, text, value, actions and attributes of every element, in one batch."""
    calls: list[tuple] = []
    plan: list[tuple[Element, int]] = []
    for e in elements:
        start = len(calls)
        calls.append((*e.ref, ACCESSIBLE, "GetAttributes"))
        if COMPONENT in e.interfaces:
            calls.append((*e.ref, COMPONENT, "GetExtents", "u", (_atspi.COORDS_WINDOW,)))
        if TEXT in e.interfaces:
            calls.append((*e.ref, TEXT, "GetText", "ii", (0, -1)))
        if VALUE in e.interfaces:
            # One property at a time: GetAll reads the Text property too, which Chromium (156 at
            # least) answers with a value libdbus cannot send, and aborts.
            calls += [(*e.ref, PROPERTIES, "Get", "ss", (VALUE, p)) for p in _VALUE_PROPERTIES]
        if ACTION in e.interfaces:
            calls.append((*e.ref, ACTION, "GetActions"))
        plan.append((e, start))
    replies = bus.batch(calls)
    for e, at in plan:
        attributes = replies[at]
        if not isinstance(attributes, CallFailed):
            e.attributes = dict(attributes[0])
        at += 1
        if COMPONENT in e.interfaces:
            extents = replies[at]
            at += 1
            if not isinstance(extents, CallFailed):
                e._window_box = tuple(extents[0])
        if TEXT in e.interfaces:
            text = replies[at]
            at += 1
            if not isinstance(text, CallFailed):
                # U+FFFC stands for each child object in the text of its parent.
                e.text = text[0].replace("\ufffc", "")
        if VALUE in e.interfaces:
            value = [_first(r, None) for r in replies[at:at + len(_VALUE_PROPERTIES)]]
            at += len(_VALUE_PROPERTIES)
            if all(isinstance(v, (int, float)) for v in value):
                e.value = Value(*map(float, value))
        if ACTION in e.interfaces:
            actions = replies[at]
            at += 1
            if not isinstance(actions, CallFailed):
                e.actions = tuple(a[0] for a in actions[0])
                e.action_descriptions = tuple(a[1] for a in actions[0])
                e.key_bindings = tuple(a[2] for a in actions[0])


_MANAGES = _atspi.STATES.index("manages_descendants")
_VALUE_PROPERTIES = ("CurrentValue", "MinimumValue", "MaximumValue", "MinimumIncrement")


def _place(apps: list[Element], windows: list[dict]) -> None:
    """Gives each element its box in the layout: its window-relative extents moved by the place sway
    gave its window."""
    for app in apps:
        candidates = [w for w in windows if w.get("pid") == app.pid]
        toplevels = [t for t in app.children if t._window_box is not None]
        for top, window in _match(toplevels, candidates):
            offset = _window_offset(top._window_box, window)
            for e in top:
                if e._window_box is not None and e._window_box[2] > 0 and e._window_box[3] > 0:
                    x, y, w, h = e._window_box
                    e.box = Box(x + offset[0], y + offset[1], w, h)


def _match(toplevels: list[Element], windows: list[dict]) -> list[tuple[Element, dict]]:
    """Pairs an application's toplevels with its sway windows: by title, then by size (a toplevel
    can be larger than its window by the shadows it draws around it), closest first. Titles can
    disagree for a moment after a change (the toolkit tells the compositor and AT-SPI apart)."""
    pairs, tops, wins = [], list(toplevels), list(windows)
    for t in list(tops):
        found = [w for w in wins if t.name and t.name == w.get("name")]
        if len(found) == 1:
            pairs.append((t, found[0]))
            tops.remove(t)
            wins.remove(found[0])
    fits = []
    for t in tops:
        fw, fh = t._window_box[2:]
        for w in wins:
            ww, wh = _size(w)
            if ww - 2 <= fw <= ww + _MAX_SHADOWS and wh - 2 <= fh <= wh + _MAX_SHADOWS:
                fits.append((abs(fw - ww) + abs(fh - wh), id(t), id(w), t, w))
    fits.sort(key=lambda f: f[:3])
    for _, _, _, t, w in fits:
        if t in tops and w in wins:
            pairs.append((t, w))
            tops.remove(t)
            wins.remove(w)
    return pairs


# The most a toplevel's surface may exceed its window, both sides' shadows together.
_MAX_SHADOWS = 128


def _size(window: dict) -> tuple[int, int]:
    return window["window_rect"]["width"], window["window_rect"]["height"]


def _window_offset(frame: tuple[int, int, int, int], window: dict) -> tuple[int, int]:
    """What to add to the toolkit's window-relative coordinates. sway's rect (the container) and
    window_rect (the window's part of it) place the visible window. Toolkits measure from their
    surface, which can be larger than the visible window where they draw shadows around it (Chromium
    does, 10 pixels a side, tiled or not): the toplevel's own extents give the margin, taken as even
    on both sides since sway's IPC does not tell the surface's geometry."""
    rect, inner = window["rect"], window["window_rect"]
    fx, fy, fw, fh = frame
    return (rect["x"] + inner["x"] - fx - max(fw - inner["width"], 0) // 2,
            rect["y"] + inner["y"] - fy - max(fh - inner["height"], 0) // 2)


# -- locators ----------------------------------------------------------------------------------------


class ElementNotFound(LookupError):
    """No element (or more than one, where one was asked for) matched a locator in the time given."""


WAIT_STATES = ("visible", "hidden", "enabled")


class Locator:
    """What `Desktop.find()` returns: a search, run again on the current tree each time it is used
    (waiting up to `timeout` seconds for a match), in the spirit of Playwright's locators. Clicks
    and typing go through the pointer and keyboard, at the element's middle, as a person's would."""

    def __init__(self, desktop, role: str | None = None, name=None, *, text=None, exact: bool = False,
                 states: Sequence[str] = (), index: int | None = None, timeout: float = 5.0,
                 application: str | None = None):
        if role is not None:
            _roles(role)  # an unknown role is an error now, not after the wait
        if role is None and name is None and text is None:
            raise ValueError("find() needs a role, a name or a text to look for")
        unknown = [s for s in states if s not in _atspi.STATES]
        if unknown:
            raise ValueError(f"unknown state {unknown[0]!r}; known: {', '.join(_atspi.STATES[1:])}")
        if not (isinstance(timeout, (int, float)) and 0 <= timeout < math.inf):
            raise ValueError(f"bad timeout {timeout!r}: expected seconds, 0 or more")
        self._desktop = desktop
        self.role, self.name, self.searched_text, self.exact = role, name, text, exact
        self.states, self.index, self.timeout, self.application = tuple(states), index, float(timeout), application

    def __repr__(self) -> str:
        return f"<Locator {self._what()}>"

    def _what(self) -> str:
        parts = [f"{k}={v!r}" for k, v in (("role", self.role), ("name", self.name), ("text", self.searched_text),
                                            ("application", self.application)) if v is not None]
        if self.states:
            parts.append(f"states={list(self.states)!r}")
        if self.index is not None:
            parts.append(f"index={self.index}")
        return ", ".join(parts)

    def _search(self, tree: AccessibilityTree) -> list[Element]:
        found = tree.find_all(self.role, self.name, text=self.searched_text, exact=self.exact, states=self.states)
        if self.application is not None:
            found = [e for e in found if e.application == self.application]
        return found

    def all(self) -> list[Element]:
        """Every match in the current tree, without waiting."""
        return self._search(self._desktop.accessibility())

    def count(self) -> int:
        return len(self.all())

    def exists(self) -> bool:
        return bool(self.all())

    def element(self, *, timeout: float | None = None) -> Element:
        """The element, once exactly one matches (or the index-th, with `index`); ElementNotFound,
        naming the search and the closest elements, when none does in time."""
        seconds = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + seconds
        while True:
            tree = self._desktop.accessibility()
            found = self._search(tree)
            if self.index is not None:
                if -len(found) <= self.index < len(found):
                    return found[self.index]
            elif len(found) == 1:
                return found[0]
            if time.monotonic() >= deadline:
                break
            time.sleep(0.05)
        if len(found) > 1 and self.index is None:
            listed = "\n".join("  " + e.describe() for e in found[:10])
            raise ElementNotFound(f"{len(found)} elements match {self._what()} (give index= to pick one):\n{listed}")
        if found:
            raise ElementNotFound(f"only {len(found)} elements match {self._what()}")
        close = tree.close_matches(self.role, self.name, self.searched_text)
        listed = "\n".join("  " + e.describe() for e in close) or "  (none: no application is registered)"
        raise ElementNotFound(f"no element matches {self._what()} after {seconds:g} s; the closest are:\n{listed}")

    @property
    def box(self) -> Box:
        """(left, top, width, height) in layout pixels."""
        e = self.element()
        if e.box is None:
            raise ElementNotFound(f"{e.describe()} (found by {self._what()}) has no known place on the screen")
        return e.box

    @property
    def text(self) -> str:
        """The element's text, or its name where it has no text interface."""
        e = self.element()
        return e.text if e.text is not None else e.name

    def click(self, **options) -> None:
        """Clicks the element's middle with the pointer; options as Desktop.click's."""
        box = self.box
        self._desktop.click(box.left + box.width // 2, box.top + box.height // 2, **options)

    def type(self, text: str, **options) -> None:
        """Clicks the element (to focus it), then types `text`; options as Desktop.type's."""
        self.click()
        self._desktop.type(text, **options)

    def wait_for(self, state: str = "visible", *, timeout: float | None = None) -> Locator:
        """Waits until the element is there ("visible"), gone ("hidden") or there and enabled
        ("enabled"); ElementNotFound when the time runs out."""
        if state not in WAIT_STATES:
            raise ValueError(f"unknown state {state!r} to wait for; expected one of {', '.join(WAIT_STATES)}")
        seconds = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + seconds
        if state == "hidden":
            while True:
                found = self.all()
                if not found:
                    return self
                if time.monotonic() >= deadline:
                    raise ElementNotFound(f"{found[0].describe()} (found by {self._what()}) was still there "
                                          f"after {seconds:g} s")
                time.sleep(0.05)
        while True:
            e = self.element(timeout=max(deadline - time.monotonic(), 0))
            if state == "visible" or _enabled(e):
                return self
            if time.monotonic() >= deadline:
                raise ElementNotFound(f"{e.describe()} (found by {self._what()}) was not enabled after {seconds:g} s")
            time.sleep(0.05)
