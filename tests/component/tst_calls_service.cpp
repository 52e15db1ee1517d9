// Incoming calls in the running service: each row is a short scenario of
// steps, checked by what the platform files and the log show afterwards.
// Also reading a call update from whatever the backend wrote, and keeping
// its text to one log line.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtTest>

#include "bb/system/InvokeManager.h"
#include "calls/call_logic.h"
#include "servicerig.h"

namespace {
const QString U5 = QStringLiteral("zunaro://call?chat_id=12&call_id=5&user_id=3");
const QString kAny = QStringLiteral("*");
const QStringList kAnyLogs {kAny};

QString requestUri(const QJsonObject &invoke)
{
    // Every call request goes to the UI the same way; only the URI differs.
    if (invoke.value("target") != "com.kvel.zunaro" || invoke.value("action") != "bb.action.START"
        || invoke.value("mime") != "text/plain")
        return QStringLiteral("bad request");
    return invoke.value("uri").toString();
}
// A scenario row; what is left out is not checked.
void row(const char *name, const QStringList &steps, const QString &effects, const QStringList &logs = kAnyLogs,
         qint64 pendingId = -1, const QString &dialog = kAny, const QString &hub = kAny, const QString &hubOpen = kAny)
{
    QTest::newRow(name) << steps << effects << logs << pendingId << dialog << hub << hubOpen;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceRig> rig;
    TestDevice *dev = nullptr;
    ZunaroHeadlessService *svc = nullptr;
    LogCapture *log = nullptr;
    QStringList trace;
    int journalSeen = 0;
    int invocationsSeen = 0;

    void collectEffects()
    {
        static const QHash<QString, QString> ops {{"post", "post"}, {"delete", "delete"},
                                                  {"dialog_show", "show"}, {"dialog_cancel", "cancel"}};
        const QStringList journal = dev->column("platform/hub/journal.jsonl", "op");
        for (; journalSeen < journal.size(); ++journalSeen)
            trace << ops.value(journal[journalSeen]);
        const auto invocations = dev->jsonLines("platform/invocations.jsonl");
        for (; invocationsSeen < invocations.size(); ++invocationsSeen)
            trace << invocations[invocationsSeen].value("by").toString() + ':' + requestUri(invocations[invocationsSeen]);
    }

    void step(const QString &s)
    {
        const QStringList t = s.split(' ');
        const auto num = [&t](int i) { return t.value(i).toLongLong(); };
        const QString name = s.section(' ', 4);
        if (t[0] == "lock")
            dev->write("platform/lock_state", t[1].toUtf8());
        else if (t[0] == "ui")
            dev->write("data/ui_running.txt", QByteArray::number(zplatform::nowMs()));
        else if (t[0] == "noui")
            QFile::remove(dev->path("data/ui_running.txt"));
        else if (t[0].startsWith('+'))
            zplatform::advanceClockMs(t[0].mid(1).toLongLong());
        else if (t[0] == "tick")
            svc->onPendingIncomingCallInvokeTick();
        else if (t[0] == "ring")
            svc->handleCallUpdate({{"call_id", num(1)}, {"chat_id", 12}, {"user_id", 3},
                                   {"state", "callStatePending"}, {"chat_title", "Alice"}});
        else if (t[0] == "end")
            svc->handleCallUpdate({{"call_id", num(1)}, {"state", t[2]}});
        else if (t[0] == "ev")
            svc->handleCallUpdate(QJsonDocument::fromJson(s.mid(3).toUtf8()).object().toVariantMap());
        else if (t[0] == "show")
            svc->showIncomingCallDialog(num(1), num(2), num(3), name);
        else if (t[0] == "dismiss")
            svc->dismissIncomingCallDialog();
        else if (t[0] == "press")
            QVERIFY(svc->incomingCallDialog && svc->incomingCallDialog->press(t[1]));
        else if (t[0] == "invoke")
            svc->bringUiToForegroundForIncomingCall(num(1), num(2), num(3));
        else if (t[0] == "notify")
            svc->postIncomingCallNotification(num(1), num(2), num(3), name);
        else
            QFAIL(qPrintable("unknown step " + s));
        collectEffects();
    }

    // The dialog or Hub entry in `file` as "body|uri" or "body|label=uri|...",
    // "" when there is none.
    QString shown(const QString &file)
    {
        if (!dev->exists(file))
            return QString();
        const QJsonObject o = dev->json(file);
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

    QString hubOpenSummary()
    {
        QStringList lines;
        for (const QByteArray &line : dev->lines("data/hub_open.env")) {
            if (!line.startsWith("HUB_TS_MS="))
                lines << QString::fromUtf8(line);
        }
        return lines.join(' ');
    }

    void addColumns()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("effects");   // journal ops and invocations, in order
        QTest::addColumn<QStringList>("logs");  // every log line, each given by its start
        QTest::addColumn<qint64>("pendingId");  // -1: not checked
        QTest::addColumn<QString>("dialog");    // "*": not checked
        QTest::addColumn<QString>("hub");
        QTest::addColumn<QString>("hubOpen");
    }

    void verifyScenario()
    {
        QFETCH(QStringList, steps);
        for (const QString &s : steps) {
            step(s);
            if (QTest::currentTestFailed())
                return;
        }
        QFETCH(QString, effects);
        QCOMPARE(trace.join(' '), effects);
        QFETCH(QStringList, logs);
        if (logs != kAnyLogs) {
            QCOMPARE(log->lines().size(), logs.size());
            for (int i = 0; i < logs.size(); ++i)
                QVERIFY2(log->lines()[i].startsWith(logs[i].toUtf8()), log->lines()[i].constData());
        }
        QFETCH(qint64, pendingId);
        if (pendingId >= 0) {
            QCOMPARE(svc->pendingCallId, pendingId);
            QCOMPARE(svc->pendingCallInvokeTimer->isActive(), pendingId > 0);
        }
        QFETCH(QString, dialog);
        if (dialog != kAny)
            QCOMPARE(shown("platform/dialog.json"), dialog);
        QFETCH(QString, hub);
        if (hub != kAny)
            QCOMPARE(shown("platform/hub/kvel_hub_call.json"), hub);
        QFETCH(QString, hubOpen);
        if (hubOpen != kAny)
            QCOMPARE(hubOpenSummary(), hubOpen);
    }

private slots:
    void init()
    {
        rig = std::make_unique<ServiceRig>();
        dev = &rig->device;
        svc = rig->service.get();
        log = &rig->log;
        svc->tickTimer->stop();
        log->clear(); // the scenarios start after start-up
        trace.clear();
        journalSeen = invocationsSeen = 0;
    }
    void cleanup() { rig.reset(); }

    void callUpdates_data();
    void callUpdates() { verifyScenario(); }
    void dialog_data();
    void dialog() { verifyScenario(); }
    void uiInvoke_data();
    void uiInvoke() { verifyScenario(); }
    void callNotification_data();
    void callNotification() { verifyScenario(); }

    // The reply to the UI's invocation is the service's child until it has
    // finished, then released: months of rings leave no objects behind.
    void invokeReplyIsReleased()
    {
        svc->bringUiToForegroundForIncomingCall(5, 12, 3);
        QCOMPARE(svc->findChildren<bb::system::InvokeTargetReply *>().size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(svc->findChildren<bb::system::InvokeTargetReply *>().isEmpty(), 2000);
    }

    void parseCallUpdate_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected"); // call,user,chat,outgoing,code|state|message|name
        QTest::newRow("all members") << QByteArray(R"({"call_id":9007199254740993,"user_id":3,"chat_id":-12,
            "outgoing":true,"state":" callStatePending ","code":7,"message":" m ","chat_title":" T ","user_name":"U"})")
                                     << "9007199254740993,3,-12,1,7|callStatePending|m|T";
        QTest::newRow("absent members") << QByteArray("{}") << "0,0,0,0,0|||";
        QTest::newRow("digits in strings") << QByteArray(R"({"call_id":" 42 ","code":"-5","outgoing":"true"})")
                                           << "42,0,0,0,-5|||";
        QTest::newRow("unconvertible") << QByteArray(R"({"call_id":"4x","user_id":1.5,"chat_id":1e300,"code":4294967296,
            "state":["x"],"message":{"a":1}})") << "0,0,0,0,0|||";
        QTest::newRow("whole doubles and numeric flags") << QByteArray(R"({"call_id":5.0,"outgoing":0.5})")
                                                         << "5,0,0,1,0|||";
        QTest::newRow("numbers as text, user name fallback")
            << QByteArray(R"({"outgoing":0,"state":12,"chat_title":"  ","user_name":" Bob "})") << "0,0,0,0,0|12||Bob";
    }

    void parseCallUpdate()
    {
        QFETCH(QByteArray, json);
        const calls::CallUpdate u = calls::parseCallUpdate(QJsonDocument::fromJson(json).toVariant().toMap());
        QTEST(QStringLiteral("%1,%2,%3,%4,%5|%6|%7|%8")
                     .arg(u.callId).arg(u.userId).arg(u.chatId).arg(int(u.outgoing)).arg(u.code)
                     .arg(u.state, u.message, u.displayName),
              "expected");
    }

    void loggable_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("maxChars");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("short") << QStringLiteral("ok") << 200 << QByteArray("ok");
        QTest::newRow("cut") << QString(201, 'a') << 200 << QByteArray(200, 'a');
        QTest::newRow("line breaks") << QStringLiteral("a\r\nb\tc\u2028d") << 200 << QByteArray("a  b c d");
        QTest::newRow("no half surrogate") << QStringLiteral("ab\U0001F600") << 3 << QByteArray("ab");
        QTest::newRow("whole surrogate") << QStringLiteral("ab\U0001F600") << 4 << QByteArray("ab\xF0\x9F\x98\x80");
    }

    void loggable()
    {
        QFETCH(QString, text);
        QFETCH(int, maxChars);
        QTEST(calls::loggable(text, maxChars), "expected");
    }};

void ServiceTest::callUpdates_data()
{
    addColumns();
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
    const QString rang = "delete post show service:" + U5;

    row("outgoing only logs", {R"(ev {"call_id":5,"outgoing":true,"state":"callStatePending"})",
                               R"(ev {"call_id":5,"outgoing":1,"state":"callStateDiscarded"})"},
        "", {bare5 + "1 state=callStatePending ui_active=0", bare5 + "1 state=callStateDiscarded"}, 0, "", "", "");
    row("ui in front only logs", {"ui", "ring 5"}, "", {up + "ui_active=1"}, 0, "", "", "");
    row("unlocked rings at once", {"ring 5"}, rang, ring, 0, dlg, entry, "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call");
    row("lock failure rings at once", {"lock junk", "ring 5"}, rang,
        {ring[0], "service: incoming call device_lock_state=-1 locked=0", ring[2], ring[3], ring[4]}, 0, dlg);
    row("unlock within 90 s invokes once", {"lock 1", "ring 5", "+1000", "tick", "lock 0", "+89000", "tick", "tick"},
        "delete post service:" + U5, lockedRing + QStringList {unlocked, ring[4]}, 0, "", entry);
    row("lock failure keeps waiting", {"lock 2", "ring 5", "lock junk", "tick", "+1000", "tick"}, "delete post",
        {up + "ui_active=0", "service: incoming call device_lock_state=2 locked=1", ring[2]}, 5, "");
    row("locked past 90000 ms times out", {"lock 1", "ring 5", "+90000", "tick", "+1", "tick", "lock 0", "tick"},
        "delete post", lockedRing + QStringList {"service: pending incoming call invoke timeout call_id=5"}, 0, "");
    row("end of the pending call", {"lock 1", "ring 5", "end 5 callStateDiscarded", "lock 0", "tick"},
        "delete post delete", lockedRing + QStringList {bare5 + "0 state=callStateDiscarded"}, 0, "", "");
    row("end of the dialog's call", {"ring 5", "end 5 callStateReady"}, rang + " cancel delete", kAnyLogs, 0, "", "");
    row("end of an unrelated call", {"ring 5", "end 9 callStateError"}, rang + " delete", kAnyLogs, 0, dlg, "");
    row("call id 0 is never invoked", {"lock 1", R"(ev {"state":"callStatePending"})", "lock 0", "tick"}, "delete post",
        {up0 + "callStatePending ui_active=0", "service: incoming call device_lock_state=1 locked=1",
         "service: notify(call) err=0 key=kvel_hub_call call_id=0"},
        0, "", "Incoming call|zunaro://call?call_id=0&user_id=0", "HUB_OPEN=chats HUB_REASON=call");
    row("call id 0 leaves the waiting call alone",
        {"lock 1", "ring 5", R"(ev {"state":"callStatePending"})", "lock 0", "tick"},
        "delete post delete post service:" + U5, kAnyLogs, 0, "");
    row("code and message give the long form",
        {R"(ev {"state":" callStateError ","code":"-3","message":" )" + QString(250, 'm') + R"( "})"}, "delete",
        {up0 + "callStateError ui_active=0 code=-3 msg=" + QString(200, 'm')}, 0, "", "", "");
    row("message alone gives the long form, on one line", {R"(ev {"state":"x\ny","message":"a\nservice: forged"})"},
        "", {up0 + "x y ui_active=0 code=0 msg=a service: forged"}, 0, "", "", "");
}

void ServiceTest::dialog_data()
{
    addColumns();
    const QString show7 = "service: incoming_call dialog show call_id=7 chat_id=12 user_id=3";
    const QString uri7 = "zunaro://call?chat_id=12&call_id=7&user_id=3";
    const QString buttons7 = "|Answer=" + uri7 + "&auto=answer|Decline=" + uri7 + "&auto=decline";
    const QString uri8 = "zunaro://call?call_id=8&user_id=4";

    row("same call twice", {"show 7 12 3 Alice", "show 7 99 99  Alice  "}, "show", {show7}, -1,
        "Incoming call from Alice" + buttons7);
    row("name arrives later", {"show 7 12 3 ", "show 7 12 3 Bob"}, "show show", {show7}, -1,
        "Incoming call from Bob" + buttons7);
    row("another call replaces the dialog", {"show 7 12 3 Alice", "show 8 0 4 \t"}, "show cancel show",
        {show7, "service: incoming_call dialog show call_id=8 chat_id=0 user_id=4"}, -1,
        "Incoming call|Answer=" + uri8 + "&auto=answer|Decline=" + uri8 + "&auto=decline");
    row("dismiss without a dialog", {"dismiss"}, "", {}, -1, "");
    row("press Answer", {"show 7 12 3 Alice", "press Answer"}, "show cancel user:" + uri7 + "&auto=answer", {show7}, -1, "");
    row("press Decline", {"show 7 12 3 Alice", "press Decline"}, "show cancel user:" + uri7 + "&auto=decline", {show7},
        -1, "");
}

void ServiceTest::uiInvoke_data()
{
    addColumns();
    const QString at5 = "service: incoming call invoke attempt call_id=5 chat_id=12 user_id=3 ui_active=";
    const QString sent5 = "service:" + U5;
    const QString sent0 = "service:zunaro://call?chat_id=12&call_id=0&user_id=3";

    row("ui in front", {"ui", "invoke 5 12 3", "noui", "invoke 5 12 3"}, sent5, {at5 + "1", at5 + "0"});
    row("repeat within the window",
        {"invoke 5 12 3", "+1000", "invoke 5 12 3", "+499", "invoke 5 12 3", "+1", "invoke 5 12 3"},
        sent5 + " " + sent5, {at5 + "0", at5 + "0", at5 + "0", at5 + "0"});
    row("different calls", {"invoke 5 12 3", "+100", "invoke 6 12 3"},
        sent5 + " service:zunaro://call?chat_id=12&call_id=6&user_id=3", kAnyLogs, -1, kAny, kAny,
        "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call");
    row("call id 0 is never a duplicate", {"invoke 0 12 3", "invoke 0 12 3"}, sent0 + " " + sent0);
    row("no chat, no hub open request", {"invoke 5 0 3", "invoke 6 -2 3"},
        "service:zunaro://call?call_id=5&user_id=3 service:zunaro://call?call_id=6&user_id=3", kAnyLogs, -1, kAny, kAny,
        "");
}

void ServiceTest::callNotification_data()
{
    addColumns();
    row("ui in front", {"ui", "notify 5 12 3 Alice"}, "", {"service: hub notify(call) suppressed (UI active)"}, -1, kAny,
        "", "");
    row("one entry for two calls", {"notify 5 12 3 Alice", "notify 6 14 4 Bob"}, "delete post delete post",
        {"service: notify(call) err=0 key=kvel_hub_call call_id=5", "service: notify(call) err=0 key=kvel_hub_call call_id=6"},
        -1, kAny, "Incoming call from Bob|zunaro://call?chat_id=14&call_id=6&user_id=4",
        "HUB_OPEN=chat HUB_CHAT_ID=14 HUB_REASON=call");
    row("no chat", {"notify 5 0 3 Alice"}, "delete post", kAnyLogs, -1, kAny,
        "Incoming call from Alice|zunaro://call?call_id=5&user_id=3", "HUB_OPEN=chats HUB_REASON=call");
    row("blank name", {"notify 5 12 3  \t "}, "delete post", kAnyLogs, -1, kAny, "Incoming call|" + U5);
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_calls_service.moc"
