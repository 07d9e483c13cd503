"""A drag source that drops files on an X window the way a Linux file manager
does: the XDND protocol, offering text/uri-list with percent-encoded
file:// URIs, each line ended by CRLF. drop(display, title prefix, paths)."""
import time
import urllib.parse

from Xlib import X, Xatom, display, protocol


def _find(window, prefix, atom):
    """Depth first, a window whose name (UTF-8 or legacy) starts with `prefix`."""
    try:
        name = window.get_full_property(atom("_NET_WM_NAME"), atom("UTF8_STRING"))
        legacy = window.get_wm_name()
        for text in (name.value if name else b"", legacy or b""):
            if (text.decode("utf-8", "replace") if isinstance(text, bytes) else text).startswith(prefix):
                return window
        return next(filter(None, (_find(child, prefix, atom) for child in window.query_tree().children)), None)
    except Exception:
        return None


def drop(display_name, prefix, paths, timeout=10.0):
    """Drops `paths` on the middle of the window whose title starts with
    `prefix`; True when the target accepted the drop and said it finished."""
    d = display.Display(display_name)
    root = d.screen().root
    atom = d.intern_atom
    aware = _find(root, prefix, atom)
    while aware is not None and aware.get_full_property(atom("XdndAware"), Xatom.ATOM) is None:
        parent = aware.query_tree().parent  # the XdndAware top-level: the window or an ancestor
        aware = None if parent is None or parent.id == root.id else parent
    if aware is None:
        raise RuntimeError("no window %r that accepts drops" % prefix)
    geometry, origin = aware.get_geometry(), aware.translate_coords(root, 0, 0)
    x, y = geometry.width // 2 - origin.x, geometry.height // 2 - origin.y
    source = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    data = b"".join(b"file://" + urllib.parse.quote(p.encode(), safe="/").encode() + b"\r\n" for p in paths)
    uri, selection = atom("text/uri-list"), atom("XdndSelection")
    source.set_selection_owner(selection, X.CurrentTime)
    d.sync()

    def send(kind, values):
        aware.send_event(protocol.event.ClientMessage(window=aware, client_type=atom(kind),
                                                      data=(32, (values + [0] * 5)[:5])), event_mask=0)
        d.flush()

    send("XdndEnter", [source.id, 5 << 24, uri])
    send("XdndPosition", [source.id, 0, (x << 16) | y, X.CurrentTime, atom("XdndActionCopy")])
    accepted = finished = dropped = False
    deadline = time.time() + timeout
    while time.time() < deadline and not finished:
        if not d.pending_events():
            time.sleep(0.01)
            continue
        event = d.next_event()
        if event.type == X.SelectionRequest and event.selection == selection:  # answered at once
            prop = event.property or event.target
            if event.target == uri:
                event.requestor.change_property(prop, uri, 8, data)
            elif event.target == atom("TARGETS"):
                event.requestor.change_property(prop, Xatom.ATOM, 32, [uri])
            else:
                prop = X.NONE
            event.requestor.send_event(protocol.event.SelectionNotify(
                time=event.time, requestor=event.requestor, selection=selection, target=event.target, property=prop))
            d.flush()
        elif event.type == X.ClientMessage and event.client_type == atom("XdndStatus") and not dropped:
            accepted = dropped = bool(event.data[1][1] & 1)
            send("XdndDrop" if accepted else "XdndLeave", [source.id, 0, X.CurrentTime] if accepted else [source.id])
            if not accepted:
                break
        elif event.type == X.ClientMessage and event.client_type == atom("XdndFinished"):
            finished = True
    source.destroy()
    d.close()
    return accepted and finished
