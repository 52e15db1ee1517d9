#include "desktop/notifications_fdo.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <utility>

#include "internal/state_parse.h"
#include "zunaro/device.h"
#include "zunaro/identity.h"
#include "zunaro/log.h"
#include "zunaro/text.h"

namespace zplatform {

namespace {
// Capabilities and closes are answered at once by any working server; a
// slower one costs a log line, never a wait: every call is asynchronous.
constexpr int kCallTimeoutMs = 2000;
// A Notify is given far longer: a late id still belongs to its key, so its
// buttons work and it can be closed.
constexpr int kNotifyTimeoutMs = 60000;
constexpr int kMaxHeldActions = 16; // presses held while posts are in flight
// As long as a line of the Hub summary may be.
constexpr int kMaxLineChars = 180;
// Presses for notifications not ours are logged once per burst, a burst
// ending after this quiet.
constexpr int kForeignBurstQuietMs = 1000;
const QString kServer = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// The dialog's place among the Hub keys; a Hub key is never empty.
const QString kDialogKey = QStringLiteral("");

// What one notification shows and what choosing it does.
struct Notice {
    bool dialog = false;
    quint64 dialogId = 0;
    bool repeat = false;
    HubCategory category = HubCategory::Message;
    QString title;
    QString body;
    bool hasRequest = false;
    bb::system::InvokeRequest request;
    QList<DialogButton> buttons;
};

// One notification the server holds, or is about to.
struct Slot {
    Notice notice;
    uint id = 0;                 // the server's id; 0 before the first answer
    bool inFlight = false;       // a Notify is under way
    bool queued = false;         // the notice waits to be sent
    bool folded = false;         // shown by the dialog it is about
    bool closeScheduled = false; // removed; closed at the end of this turn
    bool closeWhenPosted = false;
};

QDBusMessage serverCall(const QString &method)
{
    return QDBusMessage::createMethodCall(kServer, kPath, kServer, method);
}

// Whether a call failed because no server holds the name (and none can be
// started): what it carried waits for the next server.
bool noServer(const QDBusError &error)
{
    return error.type() == QDBusError::ServiceUnknown
        || error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// Lives with the application (bus objects must go before the bus does);
// the carrier below reaches it while it is there.
class NotificationsFdo : public QObject
{
    Q_OBJECT
public:
    NotificationsFdo(QObject *parent, HubCarrier *carrier, Invoker &invoker, std::function<void(quint64, int)> press)
        : QObject(parent), m_carrier(carrier), m_invoker(invoker), m_press(std::move(press))
    {
        m_foreignQuiet.setSingleShot(true);
        m_foreignQuiet.setInterval(kForeignBurstQuietMs);
        connect(&m_foreignQuiet, &QTimer::timeout, this, [this] {
            if (m_foreignMore > 0)
                logLine("platform: %lld more actions for notifications not ours; ignored\n",
                        static_cast<long long>(m_foreignMore));
            m_foreignMore = 0;
        });
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
        notice.category = entry.category;
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
        scheduleFlush();
        return true;
    }

    bool showDialog(quint64 dialogId, const DialogContent &dialog)
    {
        Notice notice;
        notice.dialog = true;
        notice.dialogId = dialogId;
        notice.repeat = dialog.repeat;
        notice.category = dialog.repeat ? HubCategory::IncomingCall : HubCategory::Message;
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
            foreignAction(id, action);
            return;
        }
        const Notice &notice = m_slots.value(*key).notice;
        if (notice.dialog) {
            dialogAction(notice, action);
            return;
        }
        if (action != QLatin1String("default")) {
            logLine("platform: unknown action \"%s\" on hub entry %s; ignored\n", logText(action).constData(),
                    key->toUtf8().constData());
            return;
        }
        if (!notice.hasRequest) {
            logLine("platform: hub entry %s carries no invoke request\n", key->toUtf8().constData());
            return;
        }
        m_invoker.send(notice.request, QStringLiteral("user"), {});
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
        ++m_ownerChanges;
        if (!oldOwner.isEmpty()) {
            logLine("platform: the notification server left the bus; forgetting %lld notifications\n",
                    static_cast<long long>(m_keyById.size()));
            ++m_generation;
            m_keyById.clear();
            m_heldActions.clear();
            // The next server may not take markup: ask before the next post.
            m_capabilitiesKnown = false;
            // What is on screen now goes to the next server, a ringing call
            // with its buttons too.
            for (auto it = m_slots.begin(); it != m_slots.end();) {
                it->id = 0;
                if (it->closeScheduled || it->closeWhenPosted) {
                    it = it->inFlight ? std::next(it) : m_slots.erase(it);
                    continue;
                }
                it->queued = !it->folded;
                ++it;
            }
        }
        if (!newOwner.isEmpty()) {
            m_serverMissing = false;
            // What should be on screen and is not goes to this server once
            // it has told what it can show.
            for (Slot &slot : m_slots) {
                if (slot.id == 0 && !slot.inFlight && !slot.folded && !slot.closeScheduled && !slot.closeWhenPosted)
                    slot.queued = true;
            }
        }
        // Asked of the new server, or of none: a server the bus can start
        // takes over at once, and shows a ringing call again.
        askCapabilities();
    }

private:
    bool put(const QString &key, const Notice &notice)
    {
        if (!QDBusConnection::sessionBus().isConnected()) {
            logLine("platform: no session bus; notification not shown\n");
            return false;
        }
        Slot &slot = m_slots[key];
        slot.notice = notice;
        slot.closeScheduled = false;
        slot.closeWhenPosted = false;
        slot.folded = false;
        slot.queued = true;
        // A server may have become activatable since the last post: ask.
        if (!m_capabilitiesKnown)
            askCapabilities();
        // Sent at the end of the turn: a dialog shown in the same turn as the
        // entry it is about takes the entry's place before either shows.
        scheduleFlush();
        if (!m_serverMissing)
            return true;
        logLine("platform: no notification server on the session bus; notification shown when one comes\n");
        // The dialog counts as shown, so that its cancel still takes it off
        // what the next server gets.
        return notice.dialog;
    }

    void scheduleFlush()
    {
        if (m_flushPending)
            return;
        m_flushPending = true;
        QTimer::singleShot(0, this, &NotificationsFdo::flush);
    }

    // Whether the entry is what the shown dialog is about.
    bool foldedIntoDialog(const Notice &entry) const
    {
        const auto dialog = m_slots.constFind(kDialogKey);
        if (dialog == m_slots.constEnd() || dialog->closeWhenPosted || !entry.hasRequest)
            return false;
        return std::any_of(dialog->notice.buttons.cbegin(), dialog->notice.buttons.cend(),
                           [&](const DialogButton &b) { return requestIsAbout(entry.request, b.request); });
    }

    void flush()
    {
        m_flushPending = false;
        const QStringList keys = m_slots.keys();
        for (const QString &key : keys) {
            const auto it = m_slots.find(key);
            if (it == m_slots.end())
                continue;
            if (it->closeScheduled) {
                closeNow(key);
                continue;
            }
            if (key != kDialogKey && !it->folded && (it->queued || it->id != 0 || it->inFlight)
                && foldedIntoDialog(it->notice)) {
                // Shown by the dialog: a notification of its own goes.
                it->queued = false;
                it->folded = true;
                if (it->id != 0 || it->inFlight)
                    closeShown(*it);
                continue;
            }
            if (it->queued && !it->inFlight && m_capabilitiesKnown)
                send(key);
        }
    }

    void askCapabilities()
    {
        if (m_askingCapabilities)
            return;
        m_askingCapabilities = true;
        m_capabilitiesKnown = false;
        const quint64 owners = m_ownerChanges;
        auto *watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(serverCall(QStringLiteral("GetCapabilities")), kCallTimeoutMs),
            this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, owners] {
            watcher->deleteLater();
            m_askingCapabilities = false;
            if (owners != m_ownerChanges) {
                askCapabilities(); // asked of a server that is gone, or of none
                return;
            }
            const QDBusPendingReply<QStringList> reply = *watcher;
            if (reply.isError() && noServer(reply.error())) {
                // Nothing is sent until a server takes the name and answers.
                if (!std::exchange(m_serverMissing, true))
                    logLine("platform: no notification server on the session bus (%s); waiting for one\n",
                            logText(reply.error().message()).constData());
                return;
            }
            if (reply.isError()) {
                m_serverMissing = false;
                logLine("platform: notification server capabilities unknown (%s); sending plain text\n",
                        logText(reply.error().message()).constData());
                m_markup = false;
                m_actions = true;
            } else {
                m_serverMissing = false;
                m_markup = reply.value().contains(QStringLiteral("body-markup"));
                m_actions = reply.value().contains(QStringLiteral("actions"));
            }
            m_capabilitiesKnown = true;
            flush();
        });
    }

    QDBusMessage notifyMessage(const Slot &slot) const
    {
        const Notice &n = slot.notice;
        const AppliedSettings settings = appliedSettings();
        const bool previewOff = settings.preview == kPolicyDeny;
        QString body = shortenLines(previewBody(n.body, n.category, previewOff), kMaxLineChars);
        if (m_markup)
            body = escapeBodyMarkup(body);
        // The click on the body first; a server without actions shows none
        // of the rest, and the click still opens what the notice is about.
        QStringList actions {QStringLiteral("default"), QStringLiteral("Open")};
        QVariantMap hints {{QStringLiteral("desktop-entry"), identity::kServiceEntry}};
        if (n.dialog) {
            for (int i = 0; i < n.buttons.size() && m_actions; ++i)
                actions << dialogActionKey(n.buttons[i].role, i) << n.buttons[i].label;
            hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(2)));
            hints.insert(QStringLiteral("resident"), true);
            if (n.repeat)
                hints.insert(QStringLiteral("sound-name"), QStringLiteral("phone-incoming-call"));
        }
        hints.insert(QStringLiteral("category"), n.category == HubCategory::IncomingCall
                                                     ? QStringLiteral("call.incoming")
                                                     : QStringLiteral("im.received"));
        if (settings.sound == kPolicyDeny)
            hints.insert(QStringLiteral("suppress-sound"), true);
        QDBusMessage message = serverCall(QStringLiteral("Notify"));
        message << identity::kAppName << slot.id << identity::kServiceEntry
                << shortenLines(n.title, kMaxLineChars).section(QLatin1Char('\n'), 0, 0) << body << actions << hints
                << (n.dialog ? 0 : -1);
        return message;
    }

    void send(const QString &key)
    {
        Slot &slot = m_slots[key];
        slot.queued = false;
        slot.inFlight = true;
        const quint64 generation = m_generation;
        const quint64 owners = m_ownerChanges;
        const qint64 sentMs = nowMs();
        auto *watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(notifyMessage(slot), kNotifyTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, key, generation, owners, sentMs] {
            watcher->deleteLater();
            const qint64 tookMs = nowMs() - sentMs;
            if (tookMs > kCallTimeoutMs)
                logLine("platform: the notification server took %lld ms to answer Notify\n",
                        static_cast<long long>(tookMs));
            posted(key, generation, owners, *watcher);
        });
    }

    void posted(const QString &key, quint64 generation, quint64 owners, const QDBusPendingReply<uint> &reply)
    {
        const auto it = m_slots.find(key);
        if (it == m_slots.end())
            return;
        it->inFlight = false;
        if (reply.isError()) {
            if (noServer(reply.error())) {
                // Still due: the next server gets it. A server that took the
                // name since the call went out is asked and sent it already.
                it->queued = !it->folded;
                if (owners == m_ownerChanges)
                    serverGone();
            }
            // Any other failure: the next post of this key sends it again.
            logLine("platform: Notify for %s failed: %s\n", key.isEmpty() ? "dialog" : key.toUtf8().constData(),
                    logText(reply.error().message()).constData());
        } else if (generation == m_generation) {
            if (it->id != reply.value())
                m_keyById.remove(it->id);
            it->id = reply.value();
            // A server that hands out an id twice replaced the older one: its
            // actions and closes are the newer key's now.
            const auto holder = m_keyById.constFind(it->id);
            if (holder != m_keyById.constEnd() && *holder != key) {
                const auto lost = m_slots.find(*holder);
                if (lost != m_slots.end())
                    lost->id = 0;
            }
            m_keyById.insert(it->id, key);
        }
        if (it->closeWhenPosted)
            closeNow(key);
        else if (it->folded && it->id != 0)
            closeShown(*it);
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

    void foreignAction(uint id, const QString &action)
    {
        // Any peer on the session bus can send these: one line per burst.
        if (m_foreignQuiet.isActive()) {
            ++m_foreignMore;
        } else {
            logLine("platform: action \"%s\" for notification %u, which is not ours; ignored\n",
                    logText(action).constData(), id);
        }
        m_foreignQuiet.start();
    }

    // A call found no server: nothing more is sent until one takes the name.
    void serverGone()
    {
        m_serverMissing = true;
        m_capabilitiesKnown = false;
    }

    // Takes the notification off the server, keeping the slot and its notice.
    void closeShown(Slot &slot)
    {
        if (slot.inFlight)
            return; // closed when its id comes
        if (slot.id == 0)
            return;
        m_keyById.remove(slot.id);
        QDBusMessage message = serverCall(QStringLiteral("CloseNotification"));
        message << slot.id;
        auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message, kCallTimeoutMs),
                                                    this);
        const uint id = slot.id;
        const quint64 owners = m_ownerChanges;
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, id, owners] {
            watcher->deleteLater();
            // With no server nothing is left to close; what is due waits.
            if (watcher->isError() && noServer(watcher->error()) && owners == m_ownerChanges)
                serverGone();
            if (watcher->isError())
                logLine("platform: CloseNotification %u failed: %s\n", id,
                        logText(watcher->error().message()).constData());
        });
        slot.id = 0;
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
        closeShown(*it);
        m_slots.erase(it);
    }

    // The entry the dialog stands for, whose request a click on it opens.
    const Slot *entryOf(const Notice &dialog) const
    {
        for (auto it = m_slots.cbegin(); it != m_slots.cend(); ++it) {
            if (it.key() == kDialogKey || it->closeScheduled || !it->notice.hasRequest)
                continue;
            for (const DialogButton &b : dialog.buttons) {
                if (requestIsAbout(it->notice.request, b.request))
                    return &*it;
            }
        }
        return nullptr;
    }

    void dialogAction(const Notice &notice, const QString &action)
    {
        if (action == QLatin1String("default")) {
            if (const Slot *entry = entryOf(notice))
                m_invoker.send(entry->notice.request, QStringLiteral("user"), {});
            else
                logLine("platform: the dialog stands for no hub entry; nothing to open\n");
            return;
        }
        for (int i = 0; i < notice.buttons.size(); ++i) {
            if (dialogActionKey(notice.buttons[i].role, i) != action)
                continue;
            m_press(notice.dialogId, i);
            if (m_carrier && m_carrier->isDialogShown(notice.dialogId))
                logLine("platform: the dialog's %s could not be sent\n", action.toUtf8().constData());
            return;
        }
        logLine("platform: unknown action \"%s\" on the dialog; ignored\n", logText(action).constData());
    }

    HubCarrier *m_carrier; // outlives this object
    Invoker &m_invoker;
    std::function<void(quint64, int)> m_press;
    QHash<QString, Slot> m_slots;
    QHash<uint, QString> m_keyById;
    QList<QPair<uint, QString>> m_heldActions; // presses that came before their post's id
    quint64 m_generation = 0; // counts server restarts: older answers hold stale ids
    quint64 m_ownerChanges = 0; // counts every change of the name's owner
    QTimer m_foreignQuiet;
    qint64 m_foreignMore = 0; // foreign presses in this burst after the logged one
    bool m_capabilitiesKnown = false;
    bool m_askingCapabilities = false;
    bool m_markup = false;
    bool m_actions = true;
    bool m_serverMissing = false;
    bool m_flushPending = false;
};

class FdoCarrier : public HubCarrier
{
public:
    explicit FdoCarrier(Invoker &invoker)
    {
        if (QCoreApplication::instance())
            m_server = new NotificationsFdo(QCoreApplication::instance(), this, invoker,
                                            [this](quint64 dialog, int index) { emit dialogButtonPressed(dialog, index); });
    }
    // Gone already when the application went first, as it does at exit.
    ~FdoCarrier() override { delete m_server.data(); }
    bool post(const HubEntry &entry) override { return m_server && m_server->post(entry); }
    bool remove(const QString &key) override { return !m_server || m_server->remove(key); }
    bool entryRequest(const QString &key, bb::system::InvokeRequest *request, QString *error) override
    {
        if (m_server)
            return m_server->entryRequest(key, request, error);
        *error = QStringLiteral("no such hub entry");
        return false;
    }

protected:
    bool putDialog(quint64 dialog, const DialogContent &content) override
    {
        return m_server && m_server->showDialog(dialog, content);
    }
    void takeDialogOff(const QString &) override
    {
        if (m_server)
            m_server->closeDialog();
    }

private:
    QPointer<NotificationsFdo> m_server;
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
        line = elided(line, maxChars);
    }
    return lines.join(QLatin1Char('\n'));
}

QString dialogActionKey(ButtonRole role, int index)
{
    switch (role) {
    case ButtonRole::Confirm:
        return QStringLiteral("accept");
    case ButtonRole::Cancel:
        return QStringLiteral("decline");
    case ButtonRole::Custom:
        break;
    }
    return QStringLiteral("button%1").arg(index);
}

bool requestIsAbout(const bb::system::InvokeRequest &entry, const bb::system::InvokeRequest &button)
{
    const QUrl a = entry.uri();
    const QUrl b = button.uri();
    if (a.isEmpty() || entry.target() != button.target()
        || a.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment) != b.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment))
        return false;
    const QUrlQuery bq(b);
    const auto items = QUrlQuery(a).queryItems(QUrl::FullyEncoded);
    return std::all_of(items.cbegin(), items.cend(), [&](const QPair<QString, QString> &item) {
        return bq.allQueryItemValues(item.first, QUrl::FullyEncoded).contains(item.second);
    });
}

QString previewBody(const QString &body, HubCategory category, bool previewOff)
{
    if (!previewOff || category != HubCategory::Message)
        return body;
    return body.section(QLatin1Char('\n'), 0, 0);
}

std::unique_ptr<HubCarrier> makeNotificationsFdoCarrier(Invoker &invoker)
{
    return std::make_unique<FdoCarrier>(invoker);
}

} // namespace zplatform

#include "notifications_fdo.moc"
