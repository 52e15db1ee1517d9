#pragma once
// The service's status for a person, as zunaroctl status shows it.

#include <QString>
#include <QVariantMap>

// The snapshot in the manner of `systemctl status`: version, mode and
// activity, the backend or the push poll, the command queue, the UI, lock
// and online state. Times are shown against `nowMs`, in local time.
QString statusView(const QVariantMap &status, qint64 nowMs);
