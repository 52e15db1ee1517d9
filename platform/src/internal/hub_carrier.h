#pragma once
// What carries the Hub and the dialog to the user. The public notification
// classes talk only to this; the embedded platform keeps them as files
// (embedded/hub_files), the desktop one on the session's notification server
// (desktop/notifications_fdo).

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include "bb/system/InvokeRequest.h"

namespace zplatform {

// How an entry or a dialog is told: a message, or a call that rings.
enum class HubCategory { Message, IncomingCall };

// What a dialog button stands for: the one that confirms, the one that
// cancels, or any other.
enum class ButtonRole { Confirm, Cancel, Custom };

struct HubEntry {
    QString key;
    int type = 0;
    HubCategory category = HubCategory::Message;
    QString title;
    QString body;
    qint64 timestampMs = 0;
    bool hasInvokeRequest = false;
    bb::system::InvokeRequest invokeRequest;
};

struct DialogButton {
    QString label;
    bb::system::InvokeRequest request;
    ButtonRole role = ButtonRole::Custom;
};

struct DialogContent {
    QString title;
    QString body;
    bool repeat = false;
    QList<DialogButton> buttons;
};

class HubCarrier : public QObject
{
    Q_OBJECT
public:
    virtual bool post(const HubEntry &entry) = 0;
    virtual bool remove(const QString &key) = 0;
    // The request a posted entry carries, for when the user selects it.
    // False with a reason when there is no such entry or it carries none.
    virtual bool entryRequest(const QString &key, bb::system::InvokeRequest *request, QString *error) = 0;

    // Dialogs stack: the last shown is on screen, and when it goes the one
    // below comes back. `dialog` names a dialog for as long as it lives.
    bool showDialog(quint64 dialog, const DialogContent &content);
    // New content for a dialog already shown, on screen only if it is on top.
    bool updateDialog(quint64 dialog, const DialogContent &content);
    // pressedButton names the button the user pressed, empty when the
    // service cancelled it.
    void closeDialog(quint64 dialog, const QString &pressedButton);
    bool isDialogShown(quint64 dialog) const;
    // The user pressed the button with this label on the dialog on top: an
    // empty answer once its request went out, else why not.
    QString pressOnTop(const QString &label);

signals:
    // The user pressed button `index` of the dialog; the dialog sends its
    // request and closes.
    void dialogButtonPressed(quint64 dialog, int index);

protected:
    // Puts this content on screen in place of whatever dialog is there.
    virtual bool putDialog(quint64 dialog, const DialogContent &content) = 0;
    // Takes the dialog off screen, no other waiting below it.
    virtual void takeDialogOff(const QString &pressedButton) = 0;

private:
    QList<QPair<quint64, DialogContent>> m_dialogs;
};

} // namespace zplatform
