#include "service_main.h"

int main(int argc, char **argv)
{
    bb::Application app(argc, argv);
    new ZunaroHeadlessService(&app);
    return QCoreApplication::exec();
}
