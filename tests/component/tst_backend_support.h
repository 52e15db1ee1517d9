#pragma once
// What the backend tests share: a service in a test device with the
// simulator installed as its backend, and ways to watch what the backend
// received.

#include <QtTest>

#include <csignal>
#include <sys/wait.h>

#include "service_main.h"
#include "testdevice.h"

// Lines the backend echoed to its output file.
inline QList<QByteArray> backendOutput(const TestDevice &device)
{
    return device.lines(QStringLiteral("data/td_backend_service.out"));
}

// Ends a backend the test launched, whatever the test's outcome.
struct BackendReaper {
    const int *pid;
    ~BackendReaper()
    {
        if (*pid > 0 && kill(*pid, SIGKILL) == 0)
            waitpid(*pid, nullptr, 0);
    }
};
