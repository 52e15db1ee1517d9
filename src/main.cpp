#include "service_main.h"

#include "zunaro/platform.h"

int main(int argc, char **argv)
{
    bb::Application app(argc, argv);
    // One service per device, or per user on a desktop: a second one would
    // relay every command and ring every call twice.
    if (const int status = zplatform::holdInstanceLock())
        return status;
    auto *service = new ZunaroHeadlessService(&app);
    // One that cannot take the UI's commands ends before its event loop
    // runs, rather than run deaf; the application takes it along.
    if (service->startFailureStatus != 0)
        return service->startFailureStatus;
    const int status = QCoreApplication::exec();
    // Gone while the application still is: as a child the service would
    // outlive QCoreApplication's own teardown, and a poll's network objects
    // in their thread would then never be freed.
    delete service;
    return status;
}
