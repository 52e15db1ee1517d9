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

QString requestUri(const QJsonObject &invoke)
{
    // Every call request goes to the UI the same way; only the URI differs.
    if (invoke.value("target") != "com.kvel.zunaro" || invoke.value("action") != "bb.action.START"
        || invoke.value("mime") != "text/plain")
        return QStringLiteral("bad request");
    return invoke.value("uri").toString();
}
// A scenario row; what is left out is not checked.
void row(const char *name, const QStringList &steps, const QString &effects, const QStringList &logs = {kAny},
         qint64 pendingId = -1, const QString &dialog = kAny, const QString &hub = kAny, const QString &hubOpen = kAny)
{
    const QString pending = pendingId < 0 ? kAny : QStringLiteral("%1/%2").arg(pendingId).arg(int(pendingId > 0));
    QTest::newRow(name) << steps << QStringList {logs.join('\n'), effects, pending, dialog, hub, hubOpen};
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceRig> rig;
    ZunaroHeadlessService *svc = nullptr;

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
        svc = rig->service.get();
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
        // Journal ops, then the invocations, as "by:uri".
        QStringList effects = rig->device.column("platform/hub/journal.jsonl", "op");
        for (const QJsonObject &invocation : rig->device.jsonLines("platform/invocations.jsonl"))
            effects << invocation.value("by").toString() + ':' + requestUri(invocation);
        const QString hubOpen = QString::fromUtf8(rig->device.read("data/hub_open.env"))
                                    .remove(QRegularExpression("HUB_TS_MS=\\d+\n")).replace('\n', ' ').trimmed();
        const int armed = svc->calls.pendingCallInvokeTimer->isActive();
        QStringList got {QString::fromUtf8(rig->log.lines().join('\n')), effects.join(' ').remove("dialog_"),
                         QStringLiteral("%1/%2").arg(svc->calls.pendingCallId).arg(armed),
                         shown("platform/dialog.json"), shown("platform/hub/kvel_hub_call.json"), hubOpen};
        QFETCH(QStringList, expected);
        // Each part under its name, so a mismatch says which one differs.
        const QStringList parts {"log", "effects", "pending", "dialog", "hub", "hub open"};
        for (int i = 0; i < got.size(); ++i) {
            got[i] = parts[i] + ": " + (expected[i] == kAny ? kAny : got[i]);
            expected[i] = parts[i] + ": " + expected[i];
        }
        QCOMPARE(got, expected);
        // The reply to each invocation of the UI is released once finished: months of rings leave no objects behind.
        QTRY_VERIFY_WITH_TIMEOUT(svc->findChildren<bb::system::InvokeTargetReply *>().isEmpty(), 2000);
    }
};

void ServiceTest::scenarios_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected"); // log, effects, pending call/timer, dialog, Hub entry, hub open
    const QString up = "service: call_update call_id=5 chat_id=12 user_id=3 outgoing=0 state=callStatePending ";
    const QString bare5 = "service: call_update call_id=5 chat_id=0 user_id=0 outgoing=";
    const QStringList ring {up + "ui_active=0", "service: incoming call device_lock_state=0 locked=0",
                            "service: notify(call) err=0 key=kvel_hub_call call_id=5",
                            "service: incoming_call dialog show call_id=5 chat_id=12 user_id=3",
                            "service: incoming call invoke attempt call_id=5 chat_id=12 user_id=3 ui_active=0"};
    const QStringList lockedRing {up + "ui_active=0", "service: incoming call device_lock_state=1 locked=1", ring[2]};
    const QString unlocked = "service: device unlocked -> invoke pending incoming call call_id=5";
    const QString dlg = "Incoming call from Alice|Answer=" + U5 + "&auto=answer|Decline=" + U5 + "&auto=decline";
    const QString entry = "Incoming call from Alice|" + U5;
    const QString up0 = "service: call_update call_id=0 chat_id=0 user_id=0 outgoing=0 state=";
    const QString sent5 = "service:" + U5;
    const QString rang = "delete post show " + sent5;

    row("outgoing only logs", {R"(ev {"call_id":5,"outgoing":true,"state":"callStatePending"})",
                               R"(ev {"call_id":5,"outgoing":1,"state":"callStateDiscarded"})"},
        "", {bare5 + "1 state=callStatePending ui_active=0", bare5 + "1 state=callStateDiscarded ui_active=0"}, 0);
    row("ui in front only logs", {"ui", "ring 5"}, "", {up + "ui_active=1"}, 0);
    row("unlocked rings", {"ring 5"}, rang, ring, 0, dlg, entry, "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call");
    row("lock failure rings at once", {"lock junk", "ring 5"}, rang,
        {ring[0], "service: incoming call device_lock_state=-1 locked=0", ring[2], ring[3], ring[4]}, 0, dlg);
    row("unlock within 90 s invokes once", {"lock 1", "ring 5", "+1000", "tick", "lock 0", "+89000", "tick", "tick"},
        "delete post service:" + U5, lockedRing + QStringList {unlocked, ring[4]}, 0, "", entry);
    row("unlock invokes at once, without a tick", {"lock 1", "ring 5", "lock 0", "settle"},
        "delete post service:" + U5, lockedRing + QStringList {unlocked, ring[4]}, 0, "", entry);
    row("lock failure keeps waiting, past 90000 ms times out",
        {"lock 2", "ring 5", "lock junk", "tick", "+90000", "tick", "+1", "tick", "lock 0", "tick"}, "delete post",
        {up + "ui_active=0", "service: incoming call device_lock_state=2 locked=1", ring[2],
         "service: pending incoming call invoke timeout call_id=5"}, 0, "");
    row("end of the pending call", {"lock 1", "ring 5", "end 5 callStateDiscarded", "lock 0", "tick"},
        "delete post delete", lockedRing + QStringList {bare5 + "0 state=callStateDiscarded ui_active=0"}, 0, "", "");
    row("end of an unrelated call, then of the dialog's", {"ring 5", "end 9 callStateError", "end 5 callStateReady"},
        "delete post show cancel delete service:" + U5, {kAny}, 0, "", "");
    // Two calls ring: the older one's repeat or end leaves the newer one's dialog and entry alone.
    const auto as6 = [](QString s) { return s.replace("call_id=5", "call_id=6"); };
    row("an older call's updates", {"ring 5", "ring 6", "ring 5", "end 5 callStateDiscarded"},
        "delete post show delete post cancel show " + sent5 + " " + as6(sent5), {kAny}, 0, as6(dlg), as6(entry));
    row("an older call silent past its ring rings anew", {"ring 5", "ring 6", "+90001", "ring 5", "end 6 callStateError"},
        "delete post show delete post cancel show delete post cancel show " + sent5 + " " + as6(sent5) + " " + sent5,
        {kAny}, 0, dlg, entry);
    row("call id 0 is never invoked and leaves the waiting call alone",
        {"lock 1", "ring 5", R"(ev {"state":"callStatePending"})", "lock 0", "tick"},
        "delete post delete post " + sent5,
        lockedRing + QStringList {up0 + "callStatePending ui_active=0", lockedRing[1],
                                  "service: notify(call) err=0 key=kvel_hub_call call_id=0", unlocked, ring[4]},
        0, "", "Incoming call|zunaro://call?call_id=0&user_id=0");
    row("code or message give the long form, on one line",
        {R"(ev {"state":" callStateError ","code":"-3","message":" )" + QString(250, 'm') + R"( "})",
         R"(ev {"state":"x\ny","message":"a\r\nb\tc\u2028d\nservice: forged"})",
         R"(ev {"message":")" + QString(199, 'm') + "\U0001F600\"}",
         R"(ev {"message":")" + QString(198, 'm') + "\U0001F600\"}"},
        "delete", {up0 + "callStateError ui_active=0 code=-3 msg=" + QString(200, 'm'),
                   up0 + "x y ui_active=0 code=0 msg=a  b c d service: forged",
                   up0 + " ui_active=0 code=0 msg=" + QString(199, 'm'), // never half a surrogate pair
                   up0 + " ui_active=0 code=0 msg=" + QString(198, 'm') + "\U0001F600"}, 0, "", "", "");

    // Members as the backend may send them: a 64-bit id, a flag only from a number, a state of any type, the
    // user's name when the chat has none.
    row("members of other types",
        {R"(ev {"call_id":9007199254740993,"outgoing":"true","state":12,"code":7,"message":["x"]})",
         R"(ev {"call_id":5,"outgoing":0.25,"state":"x"})"},
        "", {"service: call_update call_id=9007199254740993 chat_id=0 user_id=0 outgoing=0 state=12 ui_active=0 "
             "code=7 msg=", bare5 + "1 state=x ui_active=0"}, 0);
    row("the user's name when the chat has none", {R"(ev {"call_id":5,"chat_id":12,"user_id":3,)"
        R"("state":"callStatePending","chat_title":" ","user_name":" Bob "})"}, rang, {kAny}, 0,
        "Incoming call from Bob|Answer=" + U5 + "&auto=answer|Decline=" + U5 + "&auto=decline");

    // The dialog alone; a press on it is the platform's (its control test).
    const QString show7 = "service: incoming_call dialog show call_id=7 chat_id=12 user_id=3";
    const QString buttons7 = "|Answer=zunaro://call?chat_id=12&call_id=7&user_id=3&auto=answer"
                             "|Decline=zunaro://call?chat_id=12&call_id=7&user_id=3&auto=decline";
    row("dialog: the name arrives later, then the same call again", {"show 7 12 3 ", "show 7 12 3 Bob",
        "show 7 99 99  Bob  "}, "show show", {show7}, -1, "Incoming call from Bob" + buttons7);
    row("dialog: another call replaces it", {"show 7 12 3 Alice", "show 8 0 4 \t"}, "show cancel show",
        {show7, "service: incoming_call dialog show call_id=8 chat_id=0 user_id=4"}, -1,
        "Incoming call|Answer=zunaro://call?call_id=8&user_id=4&auto=answer"
        "|Decline=zunaro://call?call_id=8&user_id=4&auto=decline");

    // Bringing the UI to the call.
    const QString at5 = "service: incoming call invoke attempt call_id=5 chat_id=12 user_id=3 ui_active=";
    const QString sent0 = "service:zunaro://call?chat_id=12&call_id=0&user_id=3";
    row("invoke: ui in front until its window ends", {"ui", "invoke 5 12 3", "+15001", "invoke 5 12 3"}, sent5,
        {at5 + "1", at5 + "0"});
    row("invoke: repeat within the window",
        {"invoke 5 12 3", "+1000", "invoke 5 12 3", "+499", "invoke 5 12 3", "+1", "invoke 5 12 3"},
        sent5 + " " + sent5, {at5 + "0", at5 + "0", at5 + "0", at5 + "0"});
    row("invoke: different calls", {"invoke 5 12 3", "+100", "invoke 6 12 3"},
        sent5 + " service:zunaro://call?chat_id=12&call_id=6&user_id=3", {kAny}, -1, kAny, kAny,
        "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call");
    row("invoke: call id 0 is never a duplicate", {"invoke 0 12 3", "invoke 0 12 3"}, sent0 + " " + sent0);
    row("invoke: no chat, no hub open request", {"invoke 5 0 3", "invoke 6 -2 3"},
        "service:zunaro://call?call_id=5&user_id=3 service:zunaro://call?call_id=6&user_id=3", {kAny}, -1, kAny, kAny,
        "");

    // The call's Hub entry.
    row("notify: ui in front", {"ui", "notify 5 12 3 Alice"}, "", {"service: hub notify(call) suppressed (UI active)"},
        -1, kAny, "", "");
    row("notify: one entry for two calls", {"notify 5 12 3 Alice", "notify 6 14 4 Bob"}, "delete post delete post",
        {ring[2], "service: notify(call) err=0 key=kvel_hub_call call_id=6"},
        -1, kAny, "Incoming call from Bob|zunaro://call?chat_id=14&call_id=6&user_id=4",
        "HUB_OPEN=chat HUB_CHAT_ID=14 HUB_REASON=call");
    row("notify: no chat", {"notify 5 0 3 Alice"}, "delete post", {kAny}, -1, kAny,
        "Incoming call from Alice|zunaro://call?call_id=5&user_id=3", "HUB_OPEN=chats HUB_REASON=call");
    row("notify: blank name", {"notify 5 12 3  \t "}, "delete post", {kAny}, -1, kAny, "Incoming call|" + U5);
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_calls_service.moc"
