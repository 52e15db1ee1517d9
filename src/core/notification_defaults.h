#pragma once

#include <QByteArray>

namespace notifdefaults {

constexpr int kCurrentVersion = 2;

// The version recorded by the marker's first line: "vN" is N (negative
// numbers count as 0), "ok" is 1, anything else 0.
int markerVersion(const QByteArray &firstLine);

} // namespace notifdefaults
