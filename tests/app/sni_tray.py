#!/usr/bin/python3
# A tray that hosts StatusNotifierItems only, as most Wayland bars do: it owns the
# watcher on the session bus, says a host is registered, and prints "registered <item>"
# for each item that registers (<item> is its bus name and object path). As a client it
# reads an item's Title, and clicks an entry of the item's menu.
#   sni_tray.py | sni_tray.py title <item> | sni_tray.py click <item> <label>
import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
# Qt reads the watcher's properties through introspection, so they are all declared.
XML = f"""<node><interface name="{WATCHER}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION)


def call(item, interface, method, signature, *args):
    service, _, path = item.partition("/")
    return bus.call_sync(service, "/" + path, interface, method, GLib.Variant(signature, args), None,
                         Gio.DBusCallFlags.NONE, 5000).unpack()


def item_property(item, name):
    return call(item, "org.freedesktop.DBus.Properties", "Get", "(ss)", "org.kde.StatusNotifierItem", name)[0]


def serve():
    items = []

    def method(connection, sender, path, interface, name, args, invocation):
        if name == "RegisterStatusNotifierItem":
            given = args.unpack()[0]
            item = sender + given if given.startswith("/") else given + "/StatusNotifierItem"
            items.append(item)
            connection.emit_signal(None, path, interface, "StatusNotifierItemRegistered", GLib.Variant("(s)", (item,)))
            print("registered", item, flush=True)
        invocation.return_value(None)

    def get(connection, sender, path, interface, name):
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                "ProtocolVersion": GLib.Variant("i", 0)}[name]

    interface = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    bus.register_object("/StatusNotifierWatcher", interface, method, get, None)
    Gio.bus_own_name_on_connection(bus, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: print("ready", flush=True), lambda *_: sys.exit("the watcher is taken"))
    GLib.MainLoop().run()


def click(item, label):
    menu = item.partition("/")[0] + item_property(item, "Menu")
    pending = [call(menu, "com.canonical.dbusmenu", "GetLayout", "(iias)", 0, -1, [])[1]]
    while pending:
        entry, properties, children = pending.pop()
        # "_" marks the mnemonic.
        if properties.get("label", "").replace("_", "") == label:
            call(menu, "com.canonical.dbusmenu", "Event", "(isvu)", entry, "clicked", GLib.Variant("i", 0), 0)
            return
        pending += children
    sys.exit(f"no menu entry {label!r}")


if len(sys.argv) == 1:
    serve()
elif sys.argv[1] == "title":
    print(item_property(sys.argv[2], "Title"))
else:
    click(sys.argv[2], sys.argv[3])
