// Incoming calls in the running service: each row is a short scenario of
// steps, checked by what the platform files and the log show afterwards.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "bb/system/InvokeManager.h"
#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

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
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestDevice> dev;
    std::unique_ptr<ZunaroHeadlessService> svc;
    std::unique_ptr<LogCapture> log;
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
            dev->write("data/ui_running.txt", QByteArray::number(platform::nowMs()));
        else if (t[0] == "noui")
            QFile::remove(dev->path("data/ui_running.txt"));
        else if (t[0].startsWith('+'))
            platform::advanceClockMs(t[0].mid(1).toLongLong());
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
        dev = std::make_unique<TestDevice>();
        platform::setClockMs(1700000000000LL);
        svc = std::make_unique<ZunaroHeadlessService>(nullptr);
        svc->tickTimer->stop();
        log = std::make_unique<LogCapture>();
        trace.clear();
        journalSeen = invocationsSeen = 0;
    }

    void cleanup()
    {
        log.reset();
        svc.reset();
        dev.reset();
    }

    void callUpdates_data();
    void callUpdates() { verifyScenario(); }
    void dialog_data();
    void dialog() { verifyScenario(); }
    void uiInvoke_data();
    void uiInvoke() { verifyScenario(); }
    void callNotification_data();
    void callNotification() { verifyScenario(); }

    void invokeReplyIsTaggedAndReleased()
    {
        svc->bringUiToForegroundForIncomingCall(5, 12, 3);
        const auto replies = svc->findChildren<bb::system::InvokeTargetReply *>();
        QCOMPARE(replies.size(), 1);
        const QObject *reply = replies.first();
        QCOMPARE(reply->dynamicPropertyNames(),
                 (QList<QByteArray> {"invoke_stage", "call_id", "chat_id", "user_id", "invoke_uri"}));
        QCOMPARE(reply->property("invoke_stage").toString(), QStringLiteral("bound"));
        QCOMPARE(reply->property("call_id").metaType().id(), int(QMetaType::LongLong));
        QCOMPARE(reply->property("call_id").toLongLong(), 5);
        QCOMPARE(reply->property("chat_id").toLongLong(), 12);
        QCOMPARE(reply->property("user_id").toLongLong(), 3);
        QCOMPARE(reply->property("invoke_uri").toString(), U5);
        QTRY_VERIFY_WITH_TIMEOUT(svc->findChildren<bb::system::InvokeTargetReply *>().isEmpty(), 2000);
    }
};

void ServiceTest::callUpdates_data()
{
    addColumns();
    const QString up = "service: call_update call_id=5 chat_id=12 user_id=3 outgoing=0 state=callStatePending ";
    const QStringList ring {up + "ui_active=0", "service: incoming call device_lock_state=0 locked=0",
                            "service: notify(call) err=0 key=kvel_hub_call call_id=5",
                            "service: incoming_call dialog show call_id=5 chat_id=12 user_id=3",
                            "service: incoming call invoke attempt call_id=5 chat_id=12 user_id=3 ui_active=0"};
    const QStringList lockedRing {up + "ui_active=0", "service: incoming call device_lock_state=1 locked=1",
                                  ring[2]};
    const QString unlocked = "service: device unlocked -> invoke pending incoming call call_id=5";
    const QString dlg = "Incoming call from Alice|Answer=" + U5 + "&auto=answer|Decline=" + U5 + "&auto=decline";
    const QString entry = "Incoming call from Alice|" + U5;
    const QString up0 = "service: call_update call_id=0 chat_id=0 user_id=0 outgoing=0 state=";

    QTest::newRow("outgoing only logs")
        << QStringList {R"(ev {"call_id":5,"outgoing":true,"state":"callStatePending"})",
                        R"(ev {"call_id":5,"outgoing":1,"state":"callStateDiscarded"})"}
        << "" << QStringList {"service: call_update call_id=5 chat_id=0 user_id=0 outgoing=1 state=callStatePending ui_active=0",
                              "service: call_update call_id=5 chat_id=0 user_id=0 outgoing=1 state=callStateDiscarded"}
        << qint64(0) << "" << "" << "";
    QTest::newRow("ui in front only logs") << QStringList {"ui", "ring 5"} << "" << QStringList {up + "ui_active=1"}
                                           << qint64(0) << "" << "" << "";
    QTest::newRow("unlocked rings at once") << QStringList {"ring 5"} << "delete post show service:" + U5 << ring
                                            << qint64(0) << dlg << entry << "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call";
    QTest::newRow("lock failure rings at once")
        << QStringList {"lock junk", "ring 5"} << "delete post show service:" + U5
        << QStringList {ring[0], "service: incoming call device_lock_state=-1 locked=0", ring[2], ring[3], ring[4]}
        << qint64(0) << dlg << kAny << kAny;
    QTest::newRow("unlock within 90 s invokes once")
        << QStringList {"lock 1", "ring 5", "+1000", "tick", "lock 0", "+89000", "tick", "tick"}
        << "delete post service:" + U5 << lockedRing + QStringList {unlocked, ring[4]} << qint64(0) << "" << entry << kAny;
    QTest::newRow("lock failure keeps waiting")
        << QStringList {"lock 2", "ring 5", "lock junk", "tick", "+1000", "tick"} << "delete post"
        << QStringList {up + "ui_active=0", "service: incoming call device_lock_state=2 locked=1", ring[2]}
        << qint64(5) << "" << kAny << kAny;
    QTest::newRow("locked past 90000 ms times out")
        << QStringList {"lock 1", "ring 5", "+90000", "tick", "+1", "tick", "lock 0", "tick"} << "delete post"
        << lockedRing + QStringList {"service: pending incoming call invoke timeout call_id=5"} << qint64(0) << "" << kAny << kAny;
    QTest::newRow("end of the pending call")
        << QStringList {"lock 1", "ring 5", "end 5 callStateDiscarded", "lock 0", "tick"} << "delete post delete"
        << lockedRing + QStringList {"service: call_update call_id=5 chat_id=0 user_id=0 outgoing=0 state=callStateDiscarded"}
        << qint64(0) << "" << "" << kAny;
    QTest::newRow("end of the dialog's call")
        << QStringList {"ring 5", "end 5 callStateReady"} << "delete post show service:" + U5 + " cancel delete" << kAnyLogs
        << qint64(0) << "" << "" << kAny;
    QTest::newRow("end of an unrelated call")
        << QStringList {"ring 5", "end 9 callStateError"} << "delete post show service:" + U5 + " delete" << kAnyLogs
        << qint64(0) << dlg << "" << kAny;
    QTest::newRow("call id 0 is never invoked")
        << QStringList {"lock 1", R"(ev {"state":"callStatePending"})", "lock 0", "tick"} << "delete post"
        << QStringList {up0 + "callStatePending ui_active=0", "service: incoming call device_lock_state=1 locked=1",
                        "service: notify(call) err=0 key=kvel_hub_call call_id=0"}
        << qint64(0) << "" << "Incoming call|zunaro://call?call_id=0&user_id=0" << "HUB_OPEN=chats HUB_REASON=call";
    QTest::newRow("call id 0 leaves the waiting call alone")
        << QStringList {"lock 1", "ring 5", R"(ev {"state":"callStatePending"})", "lock 0", "tick"}
        << "delete post delete post service:" + U5 << kAnyLogs << qint64(0) << "" << kAny << kAny;
    QTest::newRow("code and message give the long form")
        << QStringList {R"(ev {"state":" callStateError ","code":"-3","message":" )" + QString(250, 'm') + R"( "})"}
        << "delete" << QStringList {up0 + "callStateError ui_active=0 code=-3 msg=" + QString(200, 'm')}
        << qint64(0) << "" << "" << "";
    QTest::newRow("message alone gives the long form, on one line")
        << QStringList {R"(ev {"state":"x\ny","message":"a\nservice: forged"})"} << ""
        << QStringList {up0 + "x y ui_active=0 code=0 msg=a service: forged"} << qint64(0) << "" << "" << "";
}

void ServiceTest::dialog_data()
{
    addColumns();
    const QString show7 = "service: incoming_call dialog show call_id=7 chat_id=12 user_id=3";
    const QString uri7 = "zunaro://call?chat_id=12&call_id=7&user_id=3";
    const QString buttons7 = "|Answer=" + uri7 + "&auto=answer|Decline=" + uri7 + "&auto=decline";

    QTest::newRow("same call twice") << QStringList {"show 7 12 3 Alice", "show 7 99 99  Alice  "} << "show"
                                     << QStringList {show7} << qint64(-1) << "Incoming call from Alice" + buttons7 << kAny << kAny;
    QTest::newRow("name arrives later") << QStringList {"show 7 12 3 ", "show 7 12 3 Bob"} << "show show" << QStringList {show7}
                                        << qint64(-1) << "Incoming call from Bob" + buttons7 << kAny << kAny;
    QTest::newRow("another call replaces the dialog")
        << QStringList {"show 7 12 3 Alice", "show 8 0 4 \t"} << "show cancel show"
        << QStringList {show7, "service: incoming_call dialog show call_id=8 chat_id=0 user_id=4"} << qint64(-1)
        << "Incoming call|Answer=zunaro://call?call_id=8&user_id=4&auto=answer|Decline=zunaro://call?call_id=8&user_id=4&auto=decline"
        << kAny << kAny;
    QTest::newRow("dismiss without a dialog") << QStringList {"dismiss"} << "" << QStringList {} << qint64(-1) << "" << kAny << kAny;
    QTest::newRow("press Answer") << QStringList {"show 7 12 3 Alice", "press Answer"}
                                  << "show cancel user:" + uri7 + "&auto=answer" << QStringList {show7} << qint64(-1) << "" << kAny << kAny;
    QTest::newRow("press Decline") << QStringList {"show 7 12 3 Alice", "press Decline"}
                                   << "show cancel user:" + uri7 + "&auto=decline" << QStringList {show7} << qint64(-1) << "" << kAny << kAny;
}

void ServiceTest::uiInvoke_data()
{
    addColumns();
    const QString at5 = "service: incoming call invoke attempt call_id=5 chat_id=12 user_id=3 ui_active=";
    const QString sent5 = "service:" + U5;

    QTest::newRow("ui in front") << QStringList {"ui", "invoke 5 12 3", "noui", "invoke 5 12 3"} << sent5
                                 << QStringList {at5 + "1", at5 + "0"} << qint64(-1) << kAny << kAny << kAny;
    QTest::newRow("repeat within the window")
        << QStringList {"invoke 5 12 3", "+1000", "invoke 5 12 3", "+499", "invoke 5 12 3", "+1", "invoke 5 12 3"}
        << sent5 + " " + sent5 << QStringList {at5 + "0", at5 + "0", at5 + "0", at5 + "0"} << qint64(-1) << kAny << kAny << kAny;
    QTest::newRow("different calls") << QStringList {"invoke 5 12 3", "+100", "invoke 6 12 3"}
                                     << sent5 + " service:zunaro://call?chat_id=12&call_id=6&user_id=3" << kAnyLogs
                                     << qint64(-1) << kAny << kAny << "HUB_OPEN=chat HUB_CHAT_ID=12 HUB_REASON=call";
    const QString sent0 = "service:zunaro://call?chat_id=12&call_id=0&user_id=3";
    QTest::newRow("call id 0 is never a duplicate") << QStringList {"invoke 0 12 3", "invoke 0 12 3"} << sent0 + " " + sent0
                                                    << kAnyLogs << qint64(-1) << kAny << kAny << kAny;
    QTest::newRow("no chat, no hub open request") << QStringList {"invoke 5 0 3", "invoke 6 -2 3"}
                                                  << "service:zunaro://call?call_id=5&user_id=3 service:zunaro://call?call_id=6&user_id=3"
                                                  << kAnyLogs << qint64(-1) << kAny << kAny << "";
}

void ServiceTest::callNotification_data()
{
    addColumns();
    QTest::newRow("ui in front") << QStringList {"ui", "notify 5 12 3 Alice"} << ""
                                 << QStringList {"service: hub notify(call) suppressed (UI active)"} << qint64(-1) << kAny << "" << "";
    QTest::newRow("one entry for two calls")
        << QStringList {"notify 5 12 3 Alice", "notify 6 14 4 Bob"} << "delete post delete post"
        << QStringList {"service: notify(call) err=0 key=kvel_hub_call call_id=5", "service: notify(call) err=0 key=kvel_hub_call call_id=6"}
        << qint64(-1) << kAny << "Incoming call from Bob|zunaro://call?chat_id=14&call_id=6&user_id=4"
        << "HUB_OPEN=chat HUB_CHAT_ID=14 HUB_REASON=call";
    QTest::newRow("no chat") << QStringList {"notify 5 0 3 Alice"} << "delete post" << kAnyLogs << qint64(-1) << kAny
                             << "Incoming call from Alice|zunaro://call?call_id=5&user_id=3" << "HUB_OPEN=chats HUB_REASON=call";
    QTest::newRow("blank name") << QStringList {"notify 5 12 3  \t "} << "delete post" << kAnyLogs << qint64(-1) << kAny
                                << "Incoming call|" + U5 << kAny;
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_calls_service.moc"
