// The hub open request that tells the UI what to show.

#include <QtTest>

#include "events/hub_open_request.h"
#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void compose_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<qint64>("chatId");
        QTest::addColumn<qint64>("messageId");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("chat with blanks") << " chat  " << qint64(42) << qint64(0) << "call"
                                          << QByteArray("HUB_OPEN=chat\nHUB_CHAT_ID=42\nHUB_TS_MS=1700000000123\nHUB_REASON=call\n");
        QTest::newRow("chats for the summary") << "chats" << qint64(0) << qint64(0) << "summary"
                                               << QByteArray("HUB_OPEN=chats\nHUB_TS_MS=1700000000123\nHUB_REASON=summary\n");
        QTest::newRow("negative chat id") << "chat" << qint64(-7) << qint64(0) << "call"
                                          << QByteArray("HUB_OPEN=chat\nHUB_TS_MS=1700000000123\nHUB_REASON=call\n");
        QTest::newRow("message id") << "chat" << qint64(9007199254740993) << qint64(77) << " x "
                                    << QByteArray("HUB_OPEN=chat\nHUB_CHAT_ID=9007199254740993\nHUB_MESSAGE_ID=77\n"
                                                  "HUB_TS_MS=1700000000123\nHUB_REASON=x\n");
        QTest::newRow("blank reason") << "chats" << qint64(0) << qint64(0) << " \t "
                                      << QByteArray("HUB_OPEN=chats\nHUB_TS_MS=1700000000123\n");
        QTest::newRow("percent signs stay") << "%1 %2" << qint64(0) << qint64(0) << "%1"
                                            << QByteArray("HUB_OPEN=%1 %2\nHUB_TS_MS=1700000000123\nHUB_REASON=%1\n");
    }

    void compose()
    {
        QFETCH(QString, screen);
        QFETCH(qint64, chatId);
        QFETCH(qint64, messageId);
        QFETCH(QString, reason);
        QFETCH(QByteArray, expected);
        QCOMPARE(hubopen::compose(screen, chatId, messageId, reason, 1700000000123), expected);
    }

    // Each request replaces the last; without a data folder nothing is
    // written and nothing logged.
    void writtenThroughTheService()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        platform::setClockMs(1700000000000);
        service.writeHubOpenRequest(QStringLiteral("chat"), 42, 0, QStringLiteral("call"));
        platform::setClockMs(1700000000500);
        service.writeHubOpenRequest(QStringLiteral("chats"), 0, 0, QStringLiteral("summary"));
        QCOMPARE(device.read("data/hub_open.env"),
                 QByteArray("HUB_OPEN=chats\nHUB_TS_MS=1700000000500\nHUB_REASON=summary\n"));

        QVERIFY(QDir(device.dataDir()).removeRecursively());
        LogCapture log;
        service.writeHubOpenRequest(QStringLiteral("chats"), 0, 0, QStringLiteral("summary"));
        QVERIFY(!device.exists("data/hub_open.env"));
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_hub_open.moc"
