#pragma once
// What the backend tests share: a service in a test device with the
// simulator installed as its backend, and ways to watch what the backend
// received.

#include <QtTest>

#include <csignal>
#include <memory>

#include "service_main.h"
#include "serviceprocess.h"
#include "testdevice.h"
#include "zunaro/device.h"

// Lines the backend echoed to its output file.
inline QList<QByteArray> backendOutput(const TestDevice &device)
{
    return device.lines(QStringLiteral("data/td_backend_service.out"));
}

// Members every backend test class carries: the service grants its
// internals to classes named ServiceTest only, so these cannot be free
// functions.
//
// backendService(): a service whose tick the test drives by hand, with the
// simulator as its backend unless `withBackend` is false, on a clock far
// from zero.
// launchBackend(): launches the backend and waits until it has taken its
// "ping".
// stopReading(): makes the running backend stop reading its input (for
// `ms`, or for good) and waits until it has taken that order.
#define BACKEND_TEST_HELPERS                                                                                         \
    static std::unique_ptr<ZunaroHeadlessService> backendService(const TestDevice &device, bool withBackend = true)  \
    {                                                                                                                \
        if (withBackend)                                                                                             \
            device.installTool(QStringLiteral("td_backend_sim"), QStringLiteral("td_backend"));                      \
        auto service = std::make_unique<ZunaroHeadlessService>(nullptr);                                             \
        service->tickTimer->stop();                                                                                  \
        platform::setClockMs(2000000000);                                                                            \
        return service;                                                                                              \
    }                                                                                                                \
    static bool launchBackend(const TestDevice &device, ZunaroHeadlessService &service)                              \
    {                                                                                                                \
        service.backendWanted = true;                                                                                \
        service.startBackend();                                                                                      \
        return service.backendPid > 0                                                                                \
            && QTest::qWaitFor([&] { return backendOutput(device) == QList<QByteArray> {"ping"}; }, 5000);           \
    }                                                                                                                \
    static bool stopReading(const TestDevice &device, ZunaroHeadlessService &service, const QString &ms = QString()) \
    {                                                                                                                \
        const QString order = (QStringLiteral("sim stop-reading ") + ms).trimmed();                                  \
        service.sendLine(order);                                                                                     \
        return QTest::qWaitFor([&] { return backendOutput(device).contains(order.toUtf8()); }, 5000);                \
    }
