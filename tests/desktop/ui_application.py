'''dbusmock template: the UI application as the desktop platform opens it, recording each call.'''

BUS_NAME = 'com.kvel.zunaro'
MAIN_OBJ = '/com/kvel/zunaro'
MAIN_IFACE = 'org.freedesktop.Application'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [('Activate', 'a{sv}', '', ''), ('Open', 'asa{sv}', '', '')])
