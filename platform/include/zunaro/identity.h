#pragma once
// Who the application is to the systems it runs in, written once: the
// service's requests and titles, the desktop's notifications and the install
// (the icon and desktop entry files carry these names) all use these.

#include <QString>

namespace zplatform {
namespace identity {

// The name users know the application by.
inline const QString kAppName = QStringLiteral("Telegram Vyn");
// The UI: its invocation target, desktop ID and bus name.
inline const QString kUiAppId = QStringLiteral("com.kvel.zunaro");
// The service's own desktop entry (hidden from menus) and the icon it
// installs: what a desktop attributes the notifications to.
inline const QString kServiceEntry = QStringLiteral("com.kvel.zunaro.service");

} // namespace identity
} // namespace zplatform
