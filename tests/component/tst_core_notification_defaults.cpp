// The notification defaults are applied once per version of the defaults.

#include <QtTest>

#include "core/notification_defaults.h"
#include "service_main.h"
#include "testdevice.h"

namespace {
const QString kMarker = QStringLiteral("data/service_notif_defaults_applied.txt");
const QByteArray kApplied = "service: notif_defaults apply err=0";
}

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void markerVersion_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("version");
        QTest::newRow("v2") << QByteArray("v2\n") << 2;
        QTest::newRow("v2 with blanks") << QByteArray("  v2 \r\n") << 2;
        QTest::newRow("v10") << QByteArray("v10") << 10;
        QTest::newRow("ok") << QByteArray("ok\n") << 1;
        QTest::newRow("OK is not ok") << QByteArray("OK") << 0;
        QTest::newRow("letters") << QByteArray("vabc") << 0;
        QTest::newRow("negative") << QByteArray("v-3") << 0;
        QTest::newRow("bare v") << QByteArray("v") << 0;
        QTest::newRow("overflow") << QByteArray("v99999999999999999999999") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("binary") << QByteArray("\xff\xfe\0v2", 5) << 0;
    }
    void markerVersion()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, version);
        QCOMPARE(notifdefaults::markerVersion(line), version);
    }

    // What the service does with each kind of marker; the parsing itself is
    // the table above.
    void applyOnce_data()
    {
        QTest::addColumn<QByteArray>("marker"); // "<dir>" for a directory, empty for none
        QTest::addColumn<bool>("applied");
        QTest::newRow("no marker") << QByteArray() << true;
        QTest::newRow("older version") << QByteArray("ok\n") << true;
        QTest::newRow("this version") << QByteArray("v2\n") << false;
        QTest::newRow("newer version is left alone") << QByteArray("  v3  \n") << false;
        QTest::newRow("directory at the marker path") << QByteArray("<dir>") << true;
    }
    void applyOnce()
    {
        QFETCH(QByteArray, marker);
        QFETCH(bool, applied);
        TestDevice device;
        const bool dir = marker == "<dir>";
        QVERIFY(dir ? QDir().mkpath(device.path(kMarker)) : marker.isEmpty() || device.write(kMarker, marker));
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QList<QByteArray> expected;
        if (applied)
            expected = {kApplied, "service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1"};
        QCOMPARE(log.matching("service: notif_"), expected);
        if (dir)
            QVERIFY(QFileInfo(device.path(kMarker)).isDir());
        else
            QCOMPARE(device.read(kMarker), applied ? QByteArray("v2\n") : marker);
    }

    void applyFailureIsRetriedNextTime()
    {
        TestDevice device;
        // A file where the platform keeps its state: the settings cannot be
        // written.
        QVERIFY(device.write("platform", "not a folder"));
        {
            LogCapture log;
            ZunaroHeadlessService service(nullptr);
            const QList<QByteArray> lines = log.matching("service: notif_");
            QCOMPARE(lines.size(), 2);
            QVERIFY(lines.at(0).startsWith("service: notif_defaults apply err=") && lines.at(0) != kApplied);
            QCOMPARE(lines.at(1), QByteArray("service: notif_settings alerts=1 sound=0 vibrate=0 led=0 preview=0"));
            QVERIFY(!device.exists(kMarker));
        }
        QVERIFY(QFile::remove(device.path("platform")));
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QVERIFY(log.contains(kApplied));
        QCOMPARE(device.read(kMarker), QByteArray("v2\n"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_notification_defaults.moc"
