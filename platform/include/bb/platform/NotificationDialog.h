#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include "bb/system/InvokeRequest.h"
#include "bb/system/SystemUiButton.h"

namespace bb {
namespace platform {

// A system dialog over whatever is on screen. Each button carries the
// invocation the platform sends when the user presses it.
class NotificationDialog : public QObject
{
    Q_OBJECT
public:
    explicit NotificationDialog(QObject *parent = nullptr);
    ~NotificationDialog() override; // a dialog still on screen is removed

    QString title() const { return m_title; }
    void setTitle(const QString &title) { m_title = title; }
    QString body() const { return m_body; }
    void setBody(const QString &body);
    bool repeat() const { return m_repeat; }
    void setRepeat(bool repeat) { m_repeat = repeat; }

    // Takes ownership of the button. Its role tells the platform which
    // button confirms (a call: answers) and which cancels (declines).
    void appendButton(bb::system::SystemUiButton *button, const bb::system::InvokeRequest &request,
                      bb::system::SystemUiResult::Type role = bb::system::SystemUiResult::CustomButtonSelection);
    int buttonCount() const { return m_buttons.size(); }

    void show();
    void cancel();
    bool isShown() const { return m_shown; }

    // Presses the button with this label: sends its request as the user's
    // and closes the dialog. False when no such button is on screen or the
    // request could not be sent (the dialog then stays).
    bool press(const QString &label);

signals:
    void finished();

private:
    struct Button {
        bb::system::SystemUiButton *button;
        bb::system::InvokeRequest request;
        bb::system::SystemUiResult::Type role;
    };
    bool putOnScreen() const;
    void close(const QString &pressedButton);
    void onButtonPressed(quint64 dialog, int index);

    const quint64 m_id; // its name on the platform's dialog stack

    QString m_title;
    QString m_body;
    bool m_repeat = false;
    bool m_shown = false;
    QList<Button> m_buttons;
};

} // namespace platform
} // namespace bb
