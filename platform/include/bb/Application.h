#pragma once
// The application object of a headless service: an event loop, no UI.

#include <QCoreApplication>

class QSocketNotifier;

namespace bb {

class Application : public QCoreApplication
{
    Q_OBJECT
public:
    // SIGTERM and SIGINT end the event loop, so the application's objects are
    // destroyed in order rather than the process dying mid-step.
    Application(int &argc, char **argv);
    ~Application() override;

private:
    QSocketNotifier *m_signalNotifier = nullptr;
};

} // namespace bb
