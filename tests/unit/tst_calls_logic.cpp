// Reading a call update from whatever the backend wrote, and keeping its text
// to one log line.

#include <QJsonDocument>
#include <QtTest>

#include "calls/call_logic.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
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
        QFETCH(QString, expected);
        const calls::CallUpdate u = calls::parseCallUpdate(QJsonDocument::fromJson(json).toVariant().toMap());
        QCOMPARE(QStringLiteral("%1,%2,%3,%4,%5|%6|%7|%8")
                     .arg(u.callId).arg(u.userId).arg(u.chatId).arg(int(u.outgoing)).arg(u.code)
                     .arg(u.state, u.message, u.displayName),
                 expected);
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
        QFETCH(QByteArray, expected);
        QCOMPARE(calls::loggable(text, maxChars), expected);
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_calls_logic.moc"
