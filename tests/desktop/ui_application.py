'''The UI application on the session bus, as the desktop platform opens it.

A dbusmock template: org.freedesktop.Application at /com/kvel/zunaro on the
name com.kvel.zunaro, recording each call for the test to read back.
'''

BUS_NAME = 'com.kvel.zunaro'
MAIN_OBJ = '/com/kvel/zunaro'
MAIN_IFACE = 'org.freedesktop.Application'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [
        ('Activate', 'a{sv}', '', ''),
        ('Open', 'asa{sv}', '', ''),
        ('ActivateAction', 'sava{sv}', '', ''),
    ])
