#include "bb/Application.h"

namespace bb {

Application::Application(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
}

Application::~Application() = default;

} // namespace bb
