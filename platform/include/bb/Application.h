#pragma once
// The application object of a headless service: an event loop, no UI.

#include <QCoreApplication>

namespace bb {

class Application : public QCoreApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    ~Application() override;
};

} // namespace bb
