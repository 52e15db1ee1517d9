#pragma once
// The service in-process on a device of its own, its log captured, on a clock frozen at `clockMs`, moved by the test.

#include <memory>

#include "service_main.h"
#include "serviceprobe.h"
#include "testdevice.h"
#include "zunaro/device.h"

// Numbers under their names, "name=value ...", so a state that differs says which field.
inline QByteArray named(const QByteArray &fields, const QList<qint64> &values)
{
    const QByteArrayList names = fields.split(' ');
    QByteArrayList out;
    for (qsizetype i = 0; i < qMax(names.size(), values.size()); ++i)
        out << names.value(i, "?") + '=' + QByteArray::number(values.value(i));
    return out.join(' ');
}

constexpr qint64 kRigClockMs = 1700000000000;

struct ServiceRig {
    explicit ServiceRig(qint64 clockMs = kRigClockMs)
        : service((zplatform::setClockMs(clockMs), std::make_unique<ZunaroHeadlessService>(nullptr))), probe(*service)
    {
    }
    TestDevice device;
    LogCapture log;
    std::unique_ptr<ZunaroHeadlessService> service;
    ServiceProbe probe;
};
