#!/usr/bin/python3
"""A GTK 3 window with the fields a selection test needs, driven by commands on standard input.

Fields: "entry" (normal entry), "password" (hidden entry), "readonly" (text view that cannot be
edited) and "editor" (multi-line editor). One command per line, one answer line per command:

    focus FIELD                      -> ok
    set FIELD TEXT                   -> ok          (TEXT is a JSON string)
    select FIELD START END           -> ok          (character offsets, like the toolkit's)
    get FIELD                        -> JSON string of the field's whole text
    selection FIELD                  -> JSON [start, end] or null
    paste TEXT                       -> ok          (replaces the focused field's selection)
    hang SECONDS                     -> ok, written before the main loop blocks for SECONDS
    quit

"ready" is printed once the window has keyboard focus. Run with /usr/bin/python3.
"""

import json
import os
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


class Fields:
    def __init__(self, title):
        self.window = Gtk.Window(title=title)
        self.window.set_default_size(600, 400)
        self.window.connect("destroy", Gtk.main_quit)
        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=4)
        self.window.add(box)

        self.entry = Gtk.Entry()
        self.password = Gtk.Entry()
        self.password.set_visibility(False)
        self.readonly = Gtk.TextView()
        self.readonly.set_editable(False)
        self.readonly.get_buffer().set_text("Read-only notes that cannot be changed.")
        self.editor = Gtk.TextView()
        for widget in (self.entry, self.password, self.readonly, self.editor):
            box.pack_start(widget, widget is self.editor, True, 0)
        self.fields = {
            "entry": self.entry,
            "password": self.password,
            "readonly": self.readonly,
            "editor": self.editor,
        }
        self.announced = False
        self.window.connect("focus-in-event", self.on_focus_in)
        self.window.show_all()
        self.window.present()

    def on_focus_in(self, *_):
        if not self.announced:
            self.announced = True
            reply("ready")
        return False

    def set_text(self, name, text):
        widget = self.fields[name]
        if isinstance(widget, Gtk.Entry):
            widget.set_text(text)
        else:
            widget.get_buffer().set_text(text)

    def text(self, name):
        widget = self.fields[name]
        if isinstance(widget, Gtk.Entry):
            return widget.get_text()
        buffer = widget.get_buffer()
        return buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), True)

    def select(self, name, start, end):
        widget = self.fields[name]
        if isinstance(widget, Gtk.Entry):
            widget.select_region(start, end)
        else:
            buffer = widget.get_buffer()
            buffer.select_range(buffer.get_iter_at_offset(start), buffer.get_iter_at_offset(end))

    def paste(self, text):
        widget = self.window.get_focus()
        if isinstance(widget, Gtk.Entry):
            widget.delete_selection()
            position = widget.get_position()
            widget.insert_text(text, position)
            widget.set_position(position + len(text))
        elif isinstance(widget, Gtk.TextView):
            buffer = widget.get_buffer()
            buffer.delete_selection(True, widget.get_editable())
            buffer.insert_interactive_at_cursor(text, -1, widget.get_editable())

    def selection(self, name):
        widget = self.fields[name]
        if isinstance(widget, Gtk.Entry):
            bounds = widget.get_selection_bounds()
            return list(bounds) if bounds else None
        bounds = widget.get_buffer().get_selection_bounds()
        return [bounds[0].get_offset(), bounds[1].get_offset()] if bounds else None


def reply(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def handle(fields, line):
    command, _, rest = line.partition(" ")
    if command == "focus":
        fields.window.present()
        fields.fields[rest].grab_focus()
        reply("ok")
    elif command == "set":
        name, _, text = rest.partition(" ")
        fields.set_text(name, json.loads(text))
        reply("ok")
    elif command == "select":
        name, start, end = rest.split(" ")
        fields.select(name, int(start), int(end))
        reply("ok")
    elif command == "get":
        reply(json.dumps(fields.text(rest)))
    elif command == "selection":
        reply(json.dumps(fields.selection(rest)))
    elif command == "paste":
        fields.paste(json.loads(rest))
        reply("ok")
    elif command == "hang":
        reply("ok")
        time.sleep(float(rest))
    elif command == "quit":
        Gtk.main_quit()
    else:
        reply("error unknown command " + command)


def main():
    fields = Fields(sys.argv[1] if len(sys.argv) > 1 else "Fields")

    pending = bytearray()

    def on_input(channel, condition):
        # Raw reads: a buffered reader could hold several commands the watch never reports.
        chunk = os.read(sys.stdin.fileno(), 65536) if condition & GLib.IOCondition.IN else b""
        if not chunk:
            Gtk.main_quit()
            return False
        pending.extend(chunk)
        while b"\n" in pending:
            line, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            try:
                handle(fields, line.decode("utf-8"))
            except Exception as error:  # a bad command must not end the program
                reply("error " + str(error).replace("\n", " "))
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()),
                      GLib.PRIORITY_DEFAULT, GLib.IOCondition.IN | GLib.IOCondition.HUP,
                      on_input)
    Gtk.main()


if __name__ == "__main__":
    main()
