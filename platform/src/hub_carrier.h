#pragma once
// What carries the Hub and the dialog to the user. The public notification
// classes talk only to this; the embedded platform keeps them as files
// (hub_files.cpp), and a desktop carrier can sit beside it.

#include <QList>
#include <QPair>
#include <QString>

#include <memory>

#include "bb/system/InvokeRequest.h"

namespace zplatform {

struct HubEntry {
    QString key;
    int type = 0;
    QString title;
    QString body;
    qint64 timestampMs = 0;
    bool hasInvokeRequest = false;
    bb::system::InvokeRequest invokeRequest;
};

struct DialogContent {
    QString title;
    QString body;
    bool repeat = false;
    QList<QPair<QString, bb::system::InvokeRequest>> buttons; // label, request
};

class HubCarrier
{
public:
    virtual ~HubCarrier() = default;
    virtual bool post(const HubEntry &entry) = 0;
    virtual bool remove(const QString &key) = 0;
    // Puts the dialog on screen in place of whatever dialog is there.
    virtual bool showDialog(const DialogContent &dialog) = 0;
    // Takes the dialog off screen; pressedButton names the button the user
    // pressed, empty when the service cancelled it.
    virtual void closeDialog(const QString &pressedButton) = 0;
    // The request a posted entry carries, for when the user selects it.
    // False with a reason when there is no such entry or it carries none.
    virtual bool entryRequest(const QString &key, bb::system::InvokeRequest *request, QString *error) = 0;
};

std::unique_ptr<HubCarrier> makeHubFilesCarrier();

// The carrier of this process, chosen once.
HubCarrier &hubCarrier();

} // namespace zplatform
