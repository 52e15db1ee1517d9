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
    void controlRequest_data();
    void controlRequest();
    void controlReply();
    void lockState_data();
    void lockState();
    void settings_data();
    void settings();
    void reachability_data();
    void reachability();
};

void ServiceTest::controlRequest_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("detail"); // action+target+uri+mime, online, or name

    const int bad = ControlRequest::Invalid;
    QTest::newRow("invoke action only") << QByteArray(R"({"invoke":{"action":"a.START"}})")
                                        << int(ControlRequest::Invoke) << "a.START|||";
    QTest::newRow("invoke all fields, CRLF") << QByteArray("{\"invoke\":{\"action\":\"A\",\"target\":\"t\",\"uri\":\"zunaro://x?y=1\",\"mime\":\"text/plain\"}}\r")
                                             << int(ControlRequest::Invoke) << "A|t|zunaro://x?y=1|text/plain";
    QTest::newRow("online true") << QByteArray(R"({"online":true})") << int(ControlRequest::Online) << "1";
    QTest::newRow("online false") << QByteArray(R"( {"online" : false} )") << int(ControlRequest::Online) << "0";
    QTest::newRow("dialog button") << QByteArray(R"({"dialog_button":"Answer"})")
                                   << int(ControlRequest::DialogButton) << "Answer";
    QTest::newRow("hub select") << QByteArray(R"({"hub_select":"kvel_hub_summary"})")
                                << int(ControlRequest::HubSelect) << "kvel_hub_summary";

    QTest::newRow("empty line") << QByteArray() << bad << "not a JSON object";
    QTest::newRow("not json") << QByteArray("hello") << bad << "not a JSON object";
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe{", 4) << bad << "not a JSON object";
    QTest::newRow("array") << QByteArray(R"([{"online":true}])") << bad << "not a JSON object";
    QTest::newRow("truncated") << QByteArray(R"({"online":tr)") << bad << "not a JSON object";
    QTest::newRow("unknown") << QByteArray(R"({"reboot":true})") << bad << "unknown request";
    QTest::newRow("two requests") << QByteArray(R"({"online":true,"hub_select":"k"})") << bad
                                  << "more than one request in a line";
    QTest::newRow("invoke not object") << QByteArray(R"({"invoke":"START"})") << bad << "invoke must be an object";
    QTest::newRow("invoke no action") << QByteArray(R"({"invoke":{"target":"t"}})") << bad
                                      << "invoke needs an action string";
    QTest::newRow("invoke empty action") << QByteArray(R"({"invoke":{"action":""}})") << bad
                                         << "invoke needs an action string";
    QTest::newRow("invoke numeric uri") << QByteArray(R"({"invoke":{"action":"a","uri":5}})") << bad
                                        << "invoke field uri must be a string";
    QTest::newRow("online as string") << QByteArray(R"({"online":"1"})") << bad << "online must be true or false";
    QTest::newRow("online as number") << QByteArray(R"({"online":1})") << bad << "online must be true or false";
    QTest::newRow("button null") << QByteArray(R"({"dialog_button":null})") << bad
                                 << "dialog_button needs a non-empty string";
    QTest::newRow("select empty") << QByteArray(R"({"hub_select":""})") << bad
                                  << "hub_select needs a non-empty string";
}

void ServiceTest::controlRequest()
{
    QFETCH(QByteArray, line);
    QFETCH(int, kind);
    QFETCH(QString, detail);

    const ControlRequest r = platform::parseControlRequest(line);
    QCOMPARE(int(r.kind), kind);
    switch (r.kind) {
    case ControlRequest::Invalid:
        QCOMPARE(r.error, detail);
        break;
    case ControlRequest::Invoke:
        QCOMPARE(QStringList({r.invoke.action(), r.invoke.target(), r.invoke.uri().toString(), r.invoke.mimeType()})
                     .join(QLatin1Char('|')),
                 detail);
        break;
    case ControlRequest::Online:
        QCOMPARE(QString::number(int(r.online)), detail);
        break;
    case ControlRequest::DialogButton:
    case ControlRequest::HubSelect:
        QCOMPARE(r.name, detail);
        break;
    }
}

void ServiceTest::controlReply()
{
    QCOMPARE(platform::controlReply(QString()), QByteArray("{\"ok\":true}\n"));
    // A reason with quotes and a line feed must not break the one-line answer.
    QCOMPARE(platform::controlReply(QStringLiteral("no \"x\"\nhere")),
             QByteArray("{\"error\":\"no \\\"x\\\"\\nhere\",\"ok\":false}\n"));
}

void ServiceTest::lockState_data()
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

void ServiceTest::lockState()
{
    QFETCH(QByteArray, content);
    QFETCH(int, state);
    QCOMPARE(platform::lockStateFromContent(content), state);
}

void ServiceTest::settings_data()
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

void ServiceTest::settings()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<int>, values);
    const platform::AppliedSettings s = platform::settingsFromJson(content);
    QCOMPARE((QList<int> {s.sound, s.vibrate, s.led, s.preview}), values);
}

void ServiceTest::reachability_data()
{
    QTest::addColumn<int>("reachability");
    QTest::addColumn<bool>("online");
    using R = QNetworkInformation::Reachability;
    QTest::newRow("online") << int(R::Online) << true;
    QTest::newRow("unknown") << int(R::Unknown) << true;
    QTest::newRow("disconnected") << int(R::Disconnected) << false;
    QTest::newRow("local") << int(R::Local) << false;
    QTest::newRow("site") << int(R::Site) << false;
}

void ServiceTest::reachability()
{
    QFETCH(int, reachability);
    QFETCH(bool, online);
    QCOMPARE(platform::onlineFromReachability(QNetworkInformation::Reachability(reachability)), online);
}

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_platform_parse.moc"
