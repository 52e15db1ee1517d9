// Incoming calls in the running service as scenarios of steps; reading a call update; its text on one log line.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include "bb/system/InvokeManager.h"
#include "calls/call_logic.h"
#include "servicerig.h"

namespace {
const QString U5 = QStringLiteral("zunaro://call?chat_id=12&call_id=5&user_id=3");
const QString kAny = QStringLiteral("*");
// What a scenario leaves, in a Row's order: the Hub entry's and the dialog's journal ops, the UI's invocations, the
// waiting call as "id/timer armed", the dialog on screen and the call's Hub entry at the end, the hub open request.
const char *const kColumns[] = {"hub", "dialog", "ui", "pending", "onScreen", "inHub", "hubOpen"};

QString requestUri(const QJsonObject &invoke)
{
    // Every call request goes to the UI the same way; only the URI differs.
    if (invoke.value("target") != "com.kvel.zunaro" || invoke.value("action") != "bb.action.START"
        || invoke.value("mime") != "text/plain")
        return QStringLiteral("bad request");
    return invoke.value("uri").toString();
}
// A scenario row, emitted into the table when it goes out of scope. Journal entries and invocations a row does not
// name must not happen; the states and log it does not name are not checked.
struct Row {
    const char *name;
    QStringList steps;
    QString hub = {}, dialog = {}, ui = {}, pending = kAny, onScreen = kAny, inHub = kAny, hubOpen = kAny;
    QStringList log {kAny};
    Row &posts(const QString &ops) { return hub = ops, *this; }
    Row &shows(const QString &ops) { return dialog = ops, *this; }
    Row &invokes(const QString &uris) { return ui = uris, *this; }
    Row &waits(qint64 id) { return pending = QStringLiteral("%1/%2").arg(id).arg(int(id > 0)), *this; }
    Row &leaves(const QString &dlg, const QString &entry = kAny, const QString &open = kAny)
    {
        return onScreen = dlg, inHub = entry, hubOpen = open, *this;
    }
    Row &logs(const QStringList &lines) { return log = lines, *this; }
    ~Row() { QTest::newRow(name) << steps << hub << dialog << ui << pending << onScreen << inHub << hubOpen << log; }
};
} // namespace

class CallsServiceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceRig> rig;
    ServiceProbe *svc = nullptr;

    void step(const QString &s)
    {
        const QStringList t = s.split(' ');
        const auto num = [&t](int i) { return t.value(i).toLongLong(); };
        const QString name = s.section(' ', 4);
        if (t[0] == "lock")
            rig->device.write("platform/lock_state", t[1].toUtf8());
        else if (t[0] == "ui")
            rig->device.write("data/ui_running.txt", QByteArray::number(zplatform::nowMs()));
        else if (t[0].startsWith('+'))
            zplatform::advanceClockMs(t[0].mid(1).toLongLong());
        else if (t[0] == "tick")
            svc->onPendingIncomingCallInvokeTick();
        else if (t[0] == "settle") { // the event loop alone, no tick
            svc->calls.pendingCallInvokeTimer->stop();
            QTRY_COMPARE(svc->calls.pendingCallId, 0);
        }
        else if (t[0] == "ring")
            svc->handleCallUpdate({num(1), 3, 12, false, "callStatePending", 0, {}, "Alice"});
        else if (t[0] == "end")
            svc->handleCallUpdate({num(1), 0, 0, false, t[2]});
        else if (t[0] == "ev")
            svc->dispatchBackendEvent(R"({"type":"call_update",)" + s.mid(4).toUtf8());
        else if (t[0] == "show")
            svc->showIncomingCallDialog(num(1), num(2), num(3), name);
        else if (t[0] == "invoke")
            svc->bringUiToForegroundForIncomingCall(num(1), num(2), num(3));
        else if (t[0] == "notify")
            svc->postIncomingCallNotification(num(1), num(2), num(3), name);
        else
            QFAIL(qPrintable("unknown step " + s));
    }

    // The dialog or Hub entry in `file` as "body|uri" or "body|label=uri|...", "" when there is none.
    QString shown(const QString &file)
    {
        if (!rig->device.exists(file))
            return QString();
        const QJsonObject o = rig->device.json(file);
        const QJsonArray buttons = o.value("buttons").toArray();
        if (o.value("title") != "Telegram Vyn" || o.value("type").toInt() != 0
            || (!buttons.isEmpty() && !o.value("repeat").toBool()))
            return QStringLiteral("bad title, type or repeat");
        QString out = o.value("body").toString();
        if (o.contains("invoke"))
            out += '|' + requestUri(o.value("invoke").toObject());
        for (const QJsonValue &b : buttons)
            out += '|' + b["label"].toString() + '=' + requestUri(b["invoke"].toObject());
        return out;
    }

private slots:
    void init()
    {
        rig = std::make_unique<ServiceRig>();
        svc = &rig->probe;
        svc->tickTimer->stop();
        rig->log.clear(); // the scenarios start after start-up
    }
    void cleanup() { rig.reset(); }

    void scenarios_data();
    void scenarios()
    {
        QFETCH(QStringList, steps);
        for (const QString &s : steps)
            step(s);
        QStringList hub, dialog, ui;
        for (const QString &op : rig->device.column("platform/hub/journal.jsonl", "op"))
            (op.startsWith("dialog_") ? dialog : hub) << op.mid(op.startsWith("dialog_") ? 7 : 0);
        for (const QJsonObject &invocation : rig->device.jsonLines("platform/invocations.jsonl"))
            ui << invocation.value("by").toString() + ':' + requestUri(invocation);
        const int armed = svc->calls.pendingCallInvokeTimer->isActive();
        const QStringList now {hub.join(' '), dialog.join(' '), ui.join(' '),
                               QStringLiteral("%1/%2").arg(svc->calls.pendingCallId).arg(armed),
                               shown("platform/dialog.json"), shown("platform/hub/kvel_hub_call.json"),
                               QString::fromUtf8(rig->device.read("data/hub_open.env"))
                                   .remove(QRegularExpression("HUB_TS_MS=\\d+\n")).replace('\n', ' ').trimmed()};
        // Each under its column's name, so a failing row says which differs; "*" where the row leaves it unchecked.
        for (int i = 0; i < now.size(); ++i) {
            const QString want = *static_cast<QString *>(QTest::qData(kColumns[i], QMetaType::QString));
            QCOMPARE(kColumns[i] + (": " + (want == kAny ? kAny : now[i])), kColumns[i] + (": " + want));
        }
        QFETCH(QStringList, log);
        if (log != QStringList {kAny})
            QCOMPARE(QString::fromUtf8(rig->log.lines().join('\n')).split('\n'), log);
        // The reply to each invocation of the UI is released once finished: months of rings leave no objects behind.
        QTRY_VERIFY_WITH_TIMEOUT(svc->service.findChildren<bb::system::InvokeTargetReply *>().isEmpty(), 2000);
    }
};

void CallsServiceTest::scenarios_data()
{
    QTest::addColumn<QStringList>("steps");
    for (const char *column : kColumns)
        QTest::addColumn<QString>(column);
    QTest::addColumn<QStringList>("log");
    const QString up = "service: call_update call_id=5 chat_id=12 user_id=3 outgoing=0 state=callStatePending ";
    const QString bare5 = "service: call_update call_id=5 chat_id=0 user_id=0 outgoing=";
    const QString notified = "service: notify(call) err=0 key=kvel_hub_call call_id=5";
    const QString attempt = "service: incoming call invoke attempt call_id=5 chat_id=12 user_id=3 ui_active=0";
    const QString dlg = "Incoming call from Alice|Answer=" + U5 + "&auto=answer|Decline=" + U5 + "&auto=decline";
    const QString entry = "Incoming call from Alice|" + U5;
    const QString up0 = "service: call_update call_id=0 chat_id=0 user_id=0 outgoing=0 state=";
    const QString sent5 = "service:" + U5;

    // The log lines of a ring, as the operator reads them.
    Row {"outgoing only logs", {R"(ev {"call_id":5,"outgoing":true,"state":"callStatePending"})",
                                R"(ev {"call_id":5,"outgoing":1,"state":"callStateDiscarded"})"}}
        .waits(0)
        .logs({bare5 + "1 state=callStatePending ui_active=0", bare5 + "1 state=callStateDiscarded ui_active=0"});
    Row {"ui in front only logs", {"ui", "ring 5"}}.waits(0).logs({up + "ui_active=1"});
    Row {"unlocked rings", {"ring 5"}}.posts("delete post").shows("show").invokes(sent5).waits(0)
        .leaves(dlg, entry, "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call")
        .logs({up + "ui_active=0", "service: incoming call device_lock_state=0 locked=0", notified,
               "service: incoming_call dialog show call_id=5 chat_id=12 user_id=3", attempt});
    Row {"unlock within 90 s invokes once", {"lock 1", "ring 5", "+1000", "tick", "lock 0", "+89000", "tick", "tick"}}
        .posts("delete post").invokes(sent5).waits(0).leaves("", entry)
        .logs({up + "ui_active=0", "service: incoming call device_lock_state=1 locked=1", notified,
               "service: device unlocked -> invoke pending incoming call call_id=5", attempt});

    // What a ring does with the lock, the end of a call and a second call.
    Row {"lock failure rings at once", {"lock junk", "ring 5"}}.posts("delete post").shows("show").invokes(sent5)
        .waits(0).leaves(dlg);
    Row {"unlock invokes at once, without a tick", {"lock 1", "ring 5", "lock 0", "settle"}}.posts("delete post")
        .invokes(sent5).waits(0).leaves("", entry);
    Row {"lock failure keeps waiting, past 90000 ms times out",
         {"lock 2", "ring 5", "lock junk", "tick", "+90000", "tick", "+1", "tick", "lock 0", "tick"}}
        .posts("delete post").waits(0).leaves("");
    Row {"end of the pending call", {"lock 1", "ring 5", "end 5 callStateDiscarded", "lock 0", "tick"}}
        .posts("delete post delete").waits(0).leaves("", "");
    Row {"end of an unrelated call, then of the dialog's", {"ring 5", "end 9 callStateError", "end 5 callStateReady"}}
        .posts("delete post delete").shows("show cancel").invokes(sent5).waits(0).leaves("", "");
    // Two calls ring: the older one's repeat or end leaves the newer one's dialog and entry alone.
    const auto as6 = [](QString s) { return s.replace("call_id=5", "call_id=6"); };
    Row {"an older call's updates", {"ring 5", "ring 6", "ring 5", "end 5 callStateDiscarded"}}
        .posts("delete post delete post").shows("show cancel show").invokes(sent5 + " " + as6(sent5)).waits(0)
        .leaves(as6(dlg), as6(entry));
    Row {"an older call silent past its ring rings anew",
         {"ring 5", "ring 6", "+90001", "ring 5", "end 6 callStateError"}}
        .posts("delete post delete post delete post").shows("show cancel show cancel show")
        .invokes(sent5 + " " + as6(sent5) + " " + sent5).waits(0).leaves(dlg, entry);
    Row {"call id 0 is never invoked and leaves the waiting call alone",
         {"lock 1", "ring 5", R"(ev {"state":"callStatePending"})", "lock 0", "tick"}}
        .posts("delete post delete post").invokes(sent5).waits(0)
        .leaves("", "Incoming call|zunaro://call?call_id=0&user_id=0");
    Row {"code or message give the long form, on one line",
         {R"(ev {"state":" callStateError ","code":"-3","message":" )" + QString(250, 'm') + R"( "})",
          R"(ev {"state":"x\ny","message":"a\r\nb\tc\u2028d\nservice: forged"})",
          R"(ev {"message":")" + QString(199, 'm') + "\U0001F600\"}",
          R"(ev {"message":")" + QString(198, 'm') + "\U0001F600\"}"}}
        .posts("delete").waits(0).leaves("", "", "")
        .logs({up0 + "callStateError ui_active=0 code=-3 msg=" + QString(200, 'm'),
               up0 + "x y ui_active=0 code=0 msg=a  b c d service: forged",
               up0 + " ui_active=0 code=0 msg=" + QString(199, 'm'), // never half a surrogate pair
               up0 + " ui_active=0 code=0 msg=" + QString(198, 'm') + "\U0001F600"});

    // Members as the backend may send them: a 64-bit id, a flag only from a number, a state of any type, the
    // user's name when the chat has none.
    Row {"members of other types",
         {R"(ev {"call_id":9007199254740993,"outgoing":"true","state":12,"code":7,"message":["x"]})",
          R"(ev {"call_id":5,"outgoing":0.25,"state":"x"})"}}
        .waits(0).logs({"service: call_update call_id=9007199254740993 chat_id=0 user_id=0 outgoing=0 state=12 "
                        "ui_active=0 code=7 msg=", bare5 + "1 state=x ui_active=0"});
    Row {"the user's name when the chat has none", {R"(ev {"call_id":5,"chat_id":12,"user_id":3,)"
         R"("state":"callStatePending","chat_title":" ","user_name":" Bob "})"}}
        .posts("delete post").shows("show").invokes(sent5).waits(0)
        .leaves("Incoming call from Bob|Answer=" + U5 + "&auto=answer|Decline=" + U5 + "&auto=decline");

    // The dialog alone; a press on it is the platform's (its control test).
    const QString buttons7 = "|Answer=zunaro://call?chat_id=12&call_id=7&user_id=3&auto=answer"
                             "|Decline=zunaro://call?chat_id=12&call_id=7&user_id=3&auto=decline";
    Row {"dialog: the name arrives later, then the same call again", {"show 7 12 3 ", "show 7 12 3 Bob",
         "show 7 99 99  Bob  "}}.shows("show show").leaves("Incoming call from Bob" + buttons7);
    Row {"dialog: another call replaces it", {"show 7 12 3 Alice", "show 8 0 4 \t"}}.shows("show cancel show")
        .leaves("Incoming call|Answer=zunaro://call?call_id=8&user_id=4&auto=answer"
                "|Decline=zunaro://call?call_id=8&user_id=4&auto=decline");

    // Bringing the UI to the call.
    const QString sent0 = "service:zunaro://call?chat_id=12&call_id=0&user_id=3";
    Row {"invoke: ui in front until its window ends", {"ui", "invoke 5 12 3", "+15001", "invoke 5 12 3"}}
        .invokes(sent5);
    Row {"invoke: repeat within the window",
         {"invoke 5 12 3", "+1000", "invoke 5 12 3", "+499", "invoke 5 12 3", "+1", "invoke 5 12 3"}}
        .invokes(sent5 + " " + sent5);
    Row {"invoke: different calls", {"invoke 5 12 3", "+100", "invoke 6 12 3"}}
        .invokes(sent5 + " service:zunaro://call?chat_id=12&call_id=6&user_id=3")
        .leaves(kAny, kAny, "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call");
    Row {"invoke: call id 0 is never a duplicate", {"invoke 0 12 3", "invoke 0 12 3"}}.invokes(sent0 + " " + sent0);
    Row {"invoke: no chat, no hub open request", {"invoke 5 0 3", "invoke 6 -2 3"}}
        .invokes("service:zunaro://call?call_id=5&user_id=3 service:zunaro://call?call_id=6&user_id=3")
        .leaves(kAny, kAny, "");

    // The call's Hub entry.
    Row {"notify: ui in front", {"ui", "notify 5 12 3 Alice"}}.leaves(kAny, "", "");
    Row {"notify: one entry for two calls", {"notify 5 12 3 Alice", "notify 6 14 4 Bob"}}
        .posts("delete post delete post")
        .leaves(kAny, "Incoming call from Bob|zunaro://call?chat_id=14&call_id=6&user_id=4",
                "HUB_OPEN=chat HUB_CHAT_ID=14 HUB_REASON=call");
    Row {"notify: no chat", {"notify 5 0 3 Alice"}}.posts("delete post")
        .leaves(kAny, "Incoming call from Alice|zunaro://call?call_id=5&user_id=3", "HUB_OPEN=chats HUB_REASON=call");
    Row {"notify: blank name", {"notify 5 12 3  \t "}}.posts("delete post").leaves(kAny, "Incoming call|" + U5);
}

QTEST_GUILESS_MAIN(CallsServiceTest)
#include "tst_calls_service.moc"
