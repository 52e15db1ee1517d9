// What the platform makes of hostile input: control socket lines, lock
// state and settings file contents, and the network reachability.

#include <QtTest>

#include "../../platform/src/control_request.h"
#include "../../platform/src/state_parse.h"

using platform::ControlRequest;

class ServiceTest : public QObject
{
    Q_OBJECT
private slots:
    void controlRequest_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("detail"); // action|target|uri|mime, online, name or the error
        const auto row = [](const char *name, const QByteArray &line, int kind, const QString &detail) {
            QTest::newRow(name) << line << kind << detail;
        };
        const int bad = ControlRequest::Invalid;
        row("invoke action only", R"({"invoke":{"action":"a.START"}})", ControlRequest::Invoke, "a.START|||");
        row("invoke all fields, CRLF",
            "{\"invoke\":{\"action\":\"A\",\"target\":\"t\",\"uri\":\"zunaro://x?y=1\",\"mime\":\"text/plain\"}}\r",
            ControlRequest::Invoke, "A|t|zunaro://x?y=1|text/plain");
        row("online true", R"({"online":true})", ControlRequest::Online, "1");
        row("online false", R"( {"online" : false} )", ControlRequest::Online, "0");
        row("dialog button", R"({"dialog_button":"Answer"})", ControlRequest::DialogButton, "Answer");
        row("hub select", R"({"hub_select":"kvel_hub_summary"})", ControlRequest::HubSelect, "kvel_hub_summary");
        row("empty line", "", bad, "not a JSON object");
        row("binary", QByteArray("\x00\xff\xfe{", 4), bad, "not a JSON object");
        row("array", R"([{"online":true}])", bad, "not a JSON object");
        row("truncated", R"({"online":tr)", bad, "not a JSON object");
        row("unknown", R"({"reboot":true})", bad, "unknown request");
        row("two requests", R"({"online":true,"hub_select":"k"})", bad, "more than one request in a line");
        row("invoke not object", R"({"invoke":"START"})", bad, "invoke must be an object");
        row("invoke no action", R"({"invoke":{"target":"t"}})", bad, "invoke needs an action string");
        row("invoke empty action", R"({"invoke":{"action":""}})", bad, "invoke needs an action string");
        row("invoke numeric uri", R"({"invoke":{"action":"a","uri":5}})", bad, "invoke field uri must be a string");
        row("online as string", R"({"online":"1"})", bad, "online must be true or false");
        row("online as number", R"({"online":1})", bad, "online must be true or false");
        row("button null", R"({"dialog_button":null})", bad, "dialog_button needs a non-empty string");
        row("select empty", R"({"hub_select":""})", bad, "hub_select needs a non-empty string");
    }
    void controlRequest()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, kind);
        QFETCH(QString, detail);
        const ControlRequest r = platform::parseControlRequest(line);
        QCOMPARE(int(r.kind), kind);
        const QString invoke = QStringList({r.invoke.action(), r.invoke.target(), r.invoke.uri().toString(),
                                            r.invoke.mimeType()}).join('|');
        // What the request carries, by kind.
        const QString seen[] = {r.error, invoke, QString::number(int(r.online)), r.name, r.name};
        QCOMPARE(seen[r.kind], detail);
    }

    void controlReply()
    {
        QCOMPARE(platform::controlReply(QString()), QByteArray("{\"ok\":true}\n"));
        // A reason with quotes and a line feed must not break the one-line answer.
        QCOMPARE(platform::controlReply(QStringLiteral("no \"x\"\nhere")),
                 QByteArray("{\"error\":\"no \\\"x\\\"\\nhere\",\"ok\":false}\n"));
    }

    void lockState_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("state");
        QTest::newRow("unlocked") << QByteArray("0") << 0;
        QTest::newRow("locked 1 with line feed") << QByteArray("1\n") << 1;
        QTest::newRow("locked 2 with blanks") << QByteArray("  2 \r\n") << 2;
        QTest::newRow("empty") << QByteArray() << -1;
        QTest::newRow("unknown state") << QByteArray("3") << -1;
        QTest::newRow("negative") << QByteArray("-1") << -1;
        QTest::newRow("leading zero") << QByteArray("01") << -1;
        QTest::newRow("word") << QByteArray("locked") << -1;
        QTest::newRow("two numbers") << QByteArray("0 1") << -1;
        QTest::newRow("binary") << QByteArray("\x00\x01", 2) << -1;
    }
    void lockState()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, state);
        QCOMPARE(platform::lockStateFromContent(content), state);
    }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<int>>("values"); // sound, vibrate, led, preview
        QTest::newRow("as applied") << QByteArray(R"({"sound":1,"vibrate":2,"led":1,"preview":1,"vibrate_count":1})")
                                    << QList<int> {1, 2, 1, 1};
        QTest::newRow("empty") << QByteArray() << QList<int> {0, 0, 0, 0};
        QTest::newRow("not json") << QByteArray("sound=1") << QList<int> {0, 0, 0, 0};
        QTest::newRow("out of range and wrong types")
            << QByteArray(R"({"sound":7,"vibrate":"1","led":-1,"preview":1.5})") << QList<int> {0, 0, 0, 0};
        QTest::newRow("some missing") << QByteArray(R"({"led":2})") << QList<int> {0, 0, 2, 0};
    }
    void settings()
    {
        QFETCH(QByteArray, content);
        QFETCH(QList<int>, values);
        const platform::AppliedSettings s = platform::settingsFromJson(content);
        QCOMPARE((QList<int> {s.sound, s.vibrate, s.led, s.preview}), values);
    }

    void reachability()
    {
        using R = QNetworkInformation::Reachability;
        // With no way to tell, the service should try rather than wait.
        for (R online : {R::Online, R::Unknown})
            QVERIFY(platform::onlineFromReachability(online));
        for (R offline : {R::Disconnected, R::Local, R::Site})
            QVERIFY(!platform::onlineFromReachability(offline));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_platform_parse.moc"
