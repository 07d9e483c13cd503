#!/usr/bin/env python3
"""A drag source that drops files on an X window the way a Linux file
manager does: the XDND protocol, offering text/uri-list with percent-encoded
file:// URIs, each line ended by CRLF.

usage (as a module): drop(display_name, window_name_prefix, paths)
"""
import time
import urllib.parse

from Xlib import X, Xatom, display, protocol

XDND_VERSION = 5


def _find(window, prefix, name_atom, utf8):
    """Depth-first search for a window whose name starts with `prefix`."""
    try:
        name = window.get_full_property(name_atom, utf8)
        if name is not None and name.value.decode("utf-8", "replace").startswith(prefix):
            return window
        legacy = window.get_wm_name()
        if isinstance(legacy, bytes):
            legacy = legacy.decode("latin-1")
        if legacy and legacy.startswith(prefix):
            return window
        for child in window.query_tree().children:
            found = _find(child, prefix, name_atom, utf8)
            if found is not None:
                return found
    except Exception:
        pass
    return None


def uri_list(paths):
    return b"".join(b"file://" + urllib.parse.quote(p.encode("utf-8"), safe="/").encode("ascii") + b"\r\n"
                    for p in paths)


def drop(display_name, window_prefix, paths, timeout=10.0):
    """Drops `paths` on the center of the top-level window whose title
    starts with `window_prefix`. Returns True when the target accepted the
    drop and said it finished."""
    d = display.Display(display_name)
    root = d.screen().root
    atom = lambda name: d.intern_atom(name)
    target = _find(root, window_prefix, atom("_NET_WM_NAME"), atom("UTF8_STRING"))
    if target is None:
        raise RuntimeError("no window named %r" % window_prefix)
    # The XdndAware top-level: the window itself or one of its ancestors.
    aware = target
    while aware.get_full_property(atom("XdndAware"), Xatom.ATOM) is None:
        parent = aware.query_tree().parent
        if parent is None or parent.id == root.id:
            raise RuntimeError("window %r does not accept drops" % window_prefix)
        aware = parent
    geometry = aware.get_geometry()
    origin = aware.translate_coords(root, 0, 0)
    x = -origin.x + geometry.width // 2
    y = -origin.y + geometry.height // 2

    source = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    data = uri_list(paths)
    uri_type = atom("text/uri-list")
    selection = atom("XdndSelection")
    source.set_selection_owner(selection, X.CurrentTime)
    d.sync()

    def send(kind, values):
        values = (values + [0] * 5)[:5]
        event = protocol.event.ClientMessage(window=aware, client_type=atom(kind), data=(32, values))
        aware.send_event(event, event_mask=0)
        d.flush()

    send("XdndEnter", [source.id, XDND_VERSION << 24, uri_type, 0, 0])
    send("XdndPosition", [source.id, 0, (x << 16) | y, X.CurrentTime, atom("XdndActionCopy")])
    accepted = finished = dropped = False
    deadline = time.time() + timeout
    while time.time() < deadline and not finished:
        if d.pending_events() == 0:
            time.sleep(0.01)
            continue
        event = d.next_event()
        if event.type == X.SelectionRequest and event.selection == selection:
            # Answered at once: the target waits only briefly for the data.
            prop = event.property or event.target
            if event.target == uri_type:
                event.requestor.change_property(prop, uri_type, 8, data)
            elif event.target == atom("TARGETS"):
                event.requestor.change_property(prop, Xatom.ATOM, 32, [uri_type])
            else:
                prop = X.NONE
            notify = protocol.event.SelectionNotify(time=event.time, requestor=event.requestor,
                                                    selection=event.selection, target=event.target,
                                                    property=prop)
            event.requestor.send_event(notify)
            d.flush()
        elif event.type == X.ClientMessage and event.client_type == atom("XdndStatus"):
            accepted = bool(event.data[1][1] & 1)
            if not dropped:
                dropped = True
                if accepted:
                    send("XdndDrop", [source.id, 0, X.CurrentTime])
                else:
                    send("XdndLeave", [source.id])
                    break
        elif event.type == X.ClientMessage and event.client_type == atom("XdndFinished"):
            finished = True
    source.destroy()
    d.close()
    return accepted and finished
