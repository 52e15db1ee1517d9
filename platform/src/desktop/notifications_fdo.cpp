#include "desktop/notifications_fdo.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <utility>

#include "backends.h"
#include "bb/platform/NotificationDialog.h"
#include "bb/platform/NotificationSettings.h"
#include "hub_carrier.h"
#include "live_objects.h"
#include "zunaro/log.h"

namespace zplatform {

namespace {
// A server that never answers costs a log line after this, never a wait:
// every call is asynchronous.
constexpr int kCallTimeoutMs = 2000;
constexpr int kMaxHeldActions = 16; // presses held while posts are in flight
// As long as a line of the Hub summary may be.
constexpr int kMaxLineChars = 180;
const QString kServer = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kAppName = QStringLiteral("Telegram Vyn");
const QString kDesktopEntry = QStringLiteral("com.kvel.zunaro");
const QString kCallEntryKey = QStringLiteral("kvel_hub_call");
// The dialog's place among the Hub keys; a Hub key is never empty.
const QString kDialogKey = QStringLiteral("");

// What one notification shows and what choosing it does.
struct Notice {
    bool dialog = false;
    QString title;
    QString body;
    bool hasRequest = false;
    bb::system::InvokeRequest request;
    QList<QPair<QString, bb::system::InvokeRequest>> buttons;
};

// One notification the server holds, or is about to.
struct Slot {
    Notice notice;
    uint id = 0;                 // the server's id; 0 before the first answer
    bool inFlight = false;       // a Notify is under way
    bool queued = false;         // the notice waits to be sent
    bool closeScheduled = false; // removed; closed at the end of this turn
    bool closeWhenPosted = false;
};

QDBusMessage serverCall(const QString &method)
{
    return QDBusMessage::createMethodCall(kServer, kPath, kServer, method);
}

bool soundOff()
{
    const bb::platform::NotificationApplicationSettings settings;
    return settings.sound() == bb::platform::NotificationPolicy::Deny;
}

// The request behind a click on the ringing call: where its buttons go,
// without their choice.
bb::system::InvokeRequest openCallRequest(const Notice &notice)
{
    bb::system::InvokeRequest request = notice.buttons.value(0).second;
    QUrl uri = request.uri();
    QUrlQuery query(uri);
    query.removeAllQueryItems(QStringLiteral("auto"));
    uri.setQuery(query);
    request.setUri(uri);
    return request;
}

// Lives with the application (bus objects must go before the bus does);
// the carrier below reaches it while it is there.
class NotificationsFdo : public QObject
{
    Q_OBJECT
public:
    explicit NotificationsFdo(QObject *parent)
        : QObject(parent)
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        // Servers send these only to the connection that posted: this one.
        bus.connect(kServer, kPath, kServer, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
        bus.connect(kServer, kPath, kServer, QStringLiteral("NotificationClosed"), this,
                    SLOT(onNotificationClosed(uint, uint)));
        auto *watcher = new QDBusServiceWatcher(kServer, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &NotificationsFdo::onOwnerChanged);
        askCapabilities();
    }

    bool post(const HubEntry &entry)
    {
        if (entry.key.isEmpty())
            return false;
        Notice notice;
        notice.title = entry.title;
        notice.body = entry.body;
        notice.hasRequest = entry.hasInvokeRequest;
        notice.request = entry.invokeRequest;
        return put(entry.key, notice);
    }

    bool remove(const QString &key)
    {
        const auto it = m_slots.find(key);
        if (it == m_slots.end() || key == kDialogKey)
            return true;
        // The service takes an entry away right before posting it anew:
        // closing at the end of the turn lets that post update it in place.
        it->closeScheduled = true;
        if (!m_closeFlushPending) {
            m_closeFlushPending = true;
            QTimer::singleShot(0, this, &NotificationsFdo::flushScheduledCloses);
        }
        return true;
    }

    bool showDialog(const DialogContent &dialog)
    {
        Notice notice;
        notice.dialog = true;
        notice.title = dialog.title;
        notice.body = dialog.body;
        notice.buttons = dialog.buttons;
        return put(kDialogKey, notice);
    }

    void closeDialog() { closeNow(kDialogKey); }

    bool entryRequest(const QString &key, bb::system::InvokeRequest *request, QString *error)
    {
        const auto it = m_slots.constFind(key);
        if (it == m_slots.constEnd() || key == kDialogKey || it->closeScheduled) {
            *error = QStringLiteral("no such hub entry");
            return false;
        }
        if (!it->notice.hasRequest) {
            *error = QStringLiteral("hub entry carries no invoke request");
            return false;
        }
        *request = it->notice.request;
        return true;
    }

private slots:
    void onActionInvoked(uint id, const QString &action)
    {
        const auto key = m_keyById.constFind(id);
        if (key == m_keyById.constEnd()) {
            // The answer to Notify and a quick press on what it showed can reach
            // us in either order: a press waits for the ids of posts in flight.
            if (postsInFlight() && m_heldActions.size() < kMaxHeldActions) {
                m_heldActions.append({id, action});
                return;
            }
            logLine("platform: action \"%s\" for notification %u, which is not ours; ignored\n",
                    action.toUtf8().constData(), id);
            return;
        }
        const Notice &notice = m_slots.value(*key).notice;
        if (notice.dialog) {
            dialogAction(notice, action);
            return;
        }
        if (action != QLatin1String("default")) {
            logLine("platform: unknown action \"%s\" on hub entry %s; ignored\n", action.toUtf8().constData(),
                    key->toUtf8().constData());
            return;
        }
        if (!notice.hasRequest) {
            logLine("platform: hub entry %s carries no invoke request\n", key->toUtf8().constData());
            return;
        }
        sendInvocation(notice.request, QStringLiteral("user"), {});
    }

    void onNotificationClosed(uint id, uint reason)
    {
        const auto found = m_keyById.constFind(id);
        if (found == m_keyById.constEnd())
            return; // not ours: nothing held, nothing to forget
        const QString key = *found;
        m_keyById.erase(found);
        const auto it = m_slots.find(key);
        if (it == m_slots.end() || it->id != id)
            return;
        logLine("platform: notification %u (%s) closed by the server, reason %u\n", id,
                key.isEmpty() ? "dialog" : key.toUtf8().constData(), reason);
        it->id = 0;
        if (!it->inFlight && !it->queued)
            m_slots.erase(it);
    }

    void onOwnerChanged(const QString &, const QString &oldOwner, const QString &newOwner)
    {
        if (!oldOwner.isEmpty()) {
            logLine("platform: the notification server left the bus; forgetting %lld notifications\n",
                    static_cast<long long>(m_keyById.size()));
            ++m_generation;
            m_keyById.clear();
            m_heldActions.clear();
            // The next server may not take markup: ask before the next post.
            m_capabilitiesKnown = false;
            for (auto it = m_slots.begin(); it != m_slots.end();) {
                it->id = 0;
                it = (it->inFlight || it->queued) ? std::next(it) : m_slots.erase(it);
            }
        }
        if (!newOwner.isEmpty()) {
            m_serverMissing = false;
            askCapabilities();
        }
    }

private:
    bool put(const QString &key, const Notice &notice)
    {
        if (!QDBusConnection::sessionBus().isConnected()) {
            logLine("platform: no session bus; notification not shown\n");
            return false;
        }
        if (m_serverMissing) {
            logLine("platform: no notification server on the session bus; notification not shown\n");
            // A server may have become activatable since: the next post tries.
            askCapabilities();
            return false;
        }
        Slot &slot = m_slots[key];
        slot.notice = notice;
        slot.closeScheduled = false;
        slot.closeWhenPosted = false;
        slot.queued = true;
        if (!slot.inFlight && m_capabilitiesKnown)
            send(key);
        else if (!m_capabilitiesKnown)
            askCapabilities();
        return true;
    }

    void askCapabilities()
    {
        if (m_askingCapabilities)
            return;
        m_askingCapabilities = true;
        m_capabilitiesKnown = false;
        auto *watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(serverCall(QStringLiteral("GetCapabilities")), kCallTimeoutMs),
            this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            m_askingCapabilities = false;
            const QDBusPendingReply<QStringList> reply = *watcher;
            if (reply.isError()) {
                m_serverMissing = reply.error().type() == QDBusError::ServiceUnknown;
                logLine("platform: notification server capabilities unknown (%s); sending plain text\n",
                        reply.error().message().toUtf8().constData());
                m_markup = false;
            } else {
                m_serverMissing = false;
                m_markup = reply.value().contains(QStringLiteral("body-markup"));
            }
            m_capabilitiesKnown = true;
            const QStringList keys = m_slots.keys();
            for (const QString &key : keys) {
                const auto it = m_slots.constFind(key);
                if (it != m_slots.constEnd() && it->queued && !it->inFlight)
                    send(key);
            }
        });
    }

    QDBusMessage notifyMessage(const QString &key, const Slot &slot) const
    {
        const Notice &n = slot.notice;
        QString body = shortenLines(n.body, kMaxLineChars);
        if (m_markup)
            body = escapeBodyMarkup(body);
        QStringList actions {QStringLiteral("default"), QStringLiteral("Open")};
        QVariantMap hints {{QStringLiteral("desktop-entry"), kDesktopEntry}};
        if (n.dialog) {
            for (int i = 0; i < n.buttons.size(); ++i)
                actions << dialogActionKey(n.buttons[i].first, i) << n.buttons[i].first;
            hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(2)));
            hints.insert(QStringLiteral("resident"), true);
            hints.insert(QStringLiteral("category"), QStringLiteral("call.incoming"));
            hints.insert(QStringLiteral("sound-name"), QStringLiteral("phone-incoming-call"));
        } else {
            hints.insert(QStringLiteral("category"), key == kCallEntryKey ? QStringLiteral("call.incoming")
                                                                                    : QStringLiteral("im.received"));
        }
        if (soundOff())
            hints.insert(QStringLiteral("suppress-sound"), true);
        QDBusMessage message = serverCall(QStringLiteral("Notify"));
        message << kAppName << slot.id << QString() << shortenLines(n.title, kMaxLineChars).section(QLatin1Char('\n'), 0, 0)
                << body << actions << hints << (n.dialog ? 0 : -1);
        return message;
    }

    void send(const QString &key)
    {
        Slot &slot = m_slots[key];
        slot.queued = false;
        slot.inFlight = true;
        const quint64 generation = m_generation;
        auto *watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(notifyMessage(key, slot), kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, key, generation] {
            watcher->deleteLater();
            posted(key, generation, *watcher);
        });
    }

    void posted(const QString &key, quint64 generation, const QDBusPendingReply<uint> &reply)
    {
        const auto it = m_slots.find(key);
        if (it == m_slots.end())
            return;
        it->inFlight = false;
        if (reply.isError()) {
            // The next post of this key sends it again.
            if (reply.error().type() == QDBusError::ServiceUnknown)
                m_serverMissing = true;
            logLine("platform: Notify for %s failed: %s\n", key.isEmpty() ? "dialog" : key.toUtf8().constData(),
                    reply.error().message().toUtf8().constData());
        } else if (generation == m_generation) {
            if (it->id != reply.value())
                m_keyById.remove(it->id);
            it->id = reply.value();
            m_keyById.insert(it->id, key);
        }
        if (it->closeWhenPosted)
            closeNow(key);
        else if (it->queued && m_capabilitiesKnown)
            send(key);
        replayHeldActions();
    }

    bool postsInFlight() const
    {
        return std::any_of(m_slots.cbegin(), m_slots.cend(), [](const Slot &s) { return s.inFlight; });
    }

    void replayHeldActions()
    {
        if (m_heldActions.isEmpty() || postsInFlight())
            return;
        const QList<QPair<uint, QString>> held = std::exchange(m_heldActions, {});
        for (const auto &[id, action] : held)
            onActionInvoked(id, action);
    }

    void flushScheduledCloses()
    {
        m_closeFlushPending = false;
        const QStringList keys = m_slots.keys();
        for (const QString &key : keys) {
            if (m_slots.value(key).closeScheduled)
                closeNow(key);
        }
    }

    void closeNow(const QString &key)
    {
        const auto it = m_slots.find(key);
        if (it == m_slots.end())
            return;
        if (it->inFlight) {
            it->queued = false;
            it->closeWhenPosted = true;
            return;
        }
        if (it->id != 0) {
            m_keyById.remove(it->id);
            QDBusMessage message = serverCall(QStringLiteral("CloseNotification"));
            message << it->id;
            auto *watcher = new QDBusPendingCallWatcher(
                QDBusConnection::sessionBus().asyncCall(message, kCallTimeoutMs), this);
            const uint id = it->id;
            connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, id] {
                watcher->deleteLater();
                if (watcher->isError())
                    logLine("platform: CloseNotification %u failed: %s\n", id,
                            watcher->error().message().toUtf8().constData());
            });
        }
        m_slots.erase(it);
    }

    void dialogAction(const Notice &notice, const QString &action)
    {
        if (action == QLatin1String("default")) {
            if (!notice.buttons.isEmpty())
                sendInvocation(openCallRequest(notice), QStringLiteral("user"), {});
            return;
        }
        for (int i = 0; i < notice.buttons.size(); ++i) {
            if (dialogActionKey(notice.buttons[i].first, i) != action)
                continue;
            bb::platform::NotificationDialog *dialog = live::dialogOnTop();
            if (!dialog || !dialog->press(notice.buttons[i].first))
                logLine("platform: the call's %s could not be sent\n", action.toUtf8().constData());
            return;
        }
        logLine("platform: unknown action \"%s\" on the call; ignored\n", action.toUtf8().constData());
    }

    QHash<QString, Slot> m_slots;
    QHash<uint, QString> m_keyById;
    QList<QPair<uint, QString>> m_heldActions; // presses that came before their post's id
    quint64 m_generation = 0; // counts server restarts: older answers hold stale ids
    bool m_capabilitiesKnown = false;
    bool m_askingCapabilities = false;
    bool m_markup = false;
    bool m_serverMissing = false;
    bool m_closeFlushPending = false;
};
} // namespace

QString escapeBodyMarkup(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('&'))
            out += QLatin1String("&amp;");
        else if (c == QLatin1Char('<'))
            out += QLatin1String("&lt;");
        else if (c == QLatin1Char('>'))
            out += QLatin1String("&gt;");
        else
            out += c;
    }
    return out;
}

QString shortenLines(const QString &text, int maxChars)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.size() <= maxChars)
            continue;
        line.truncate(line.at(maxChars - 1).isHighSurrogate() ? maxChars - 1 : maxChars);
        line.append(QChar(0x2026));
    }
    return lines.join(QLatin1Char('\n'));
}

QString dialogActionKey(const QString &label, int index)
{
    if (label == QLatin1String("Answer"))
        return QStringLiteral("accept");
    if (label == QLatin1String("Decline"))
        return QStringLiteral("decline");
    return QStringLiteral("button%1").arg(index);
}

namespace {
class FdoCarrier : public HubCarrier
{
public:
    FdoCarrier()
    {
        if (QCoreApplication::instance())
            m_server = new NotificationsFdo(QCoreApplication::instance());
    }
    bool post(const HubEntry &entry) override { return m_server && m_server->post(entry); }
    bool remove(const QString &key) override { return !m_server || m_server->remove(key); }
    bool showDialog(const DialogContent &dialog) override { return m_server && m_server->showDialog(dialog); }
    void closeDialog(const QString &) override
    {
        if (m_server)
            m_server->closeDialog();
    }
    bool entryRequest(const QString &key, bb::system::InvokeRequest *request, QString *error) override
    {
        if (m_server)
            return m_server->entryRequest(key, request, error);
        *error = QStringLiteral("no such hub entry");
        return false;
    }

private:
    QPointer<NotificationsFdo> m_server;
};
} // namespace

std::unique_ptr<HubCarrier> makeNotificationsFdoCarrier()
{
    return std::make_unique<FdoCarrier>();
}

} // namespace zplatform

#include "notifications_fdo.moc"
