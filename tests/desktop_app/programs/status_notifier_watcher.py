#!/usr/bin/python3
# A minimal status-notifier watcher and host, as a desktop panel provides one: it owns
# org.kde.StatusNotifierWatcher on the session bus and prints "READY" once it does, then
# "ITEM <sender> <argument>" for every tray item that registers.
from gi.repository import Gio, GLib

XML = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<signal name="StatusNotifierHostRegistered"/>
</interface></node>"""

interface = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
items = []


def on_call(connection, sender, path, name, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        argument = parameters.unpack()[0]
        items.append(sender)
        print("ITEM", sender, argument, flush=True)
        connection.emit_signal(None, path, name, "StatusNotifierItemRegistered",
                               GLib.Variant("(s)", (sender,)))
    invocation.return_value(None)


def on_get(connection, sender, path, name, prop):
    if prop == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", items)
    if prop == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def on_bus(connection, name):
    connection.register_object("/StatusNotifierWatcher", interface, on_call, on_get, None)


Gio.bus_own_name(Gio.BusType.SESSION, "org.kde.StatusNotifierWatcher",
                 Gio.BusNameOwnerFlags.NONE, on_bus, lambda c, n: print("READY", flush=True),
                 None)
GLib.MainLoop().run()
