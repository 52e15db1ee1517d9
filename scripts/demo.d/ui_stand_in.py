#!/usr/bin/python3
"""Stands in for the Telegram Vyn UI on the session bus for the demo.

Owns the UI's name com.kvel.zunaro and serves org.freedesktop.Application at
/com/kvel/zunaro the way the UI does, printing one line per call so the demo
shows what the service asked the UI to open. Ends on SIGTERM.
"""
import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

APPLICATION = "org.freedesktop.Application"


def say(text):
    print("ui: " + text, flush=True)


class Application(dbus.service.Object):
    @dbus.service.method(APPLICATION, in_signature="a{sv}")
    def Activate(self, platform_data):
        say("Activate" + describe(platform_data))

    @dbus.service.method(APPLICATION, in_signature="asa{sv}")
    def Open(self, uris, platform_data):
        say("Open " + " ".join(uris) + describe(platform_data))

    @dbus.service.method(APPLICATION, in_signature="sava{sv}")
    def ActivateAction(self, name, parameters, platform_data):
        say("ActivateAction " + name + describe(platform_data))


def describe(platform_data):
    # The activation token is what lets a compositor raise the window.
    keys = sorted(str(key) for key in platform_data)
    return " (platform data: " + ", ".join(keys) + ")" if keys else ""


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName("com.kvel.zunaro", bus, do_not_queue=True)
    Application(bus, "/com/kvel/zunaro")
    say("ready as " + name.get_name())
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
