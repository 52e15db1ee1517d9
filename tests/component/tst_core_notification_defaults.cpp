// The notification defaults are applied once per version of the defaults.

#include <QtTest>

#include "core/notification_defaults.h"
#include "service_main.h"
#include "testdevice.h"

namespace {
const QString kMarker = QStringLiteral("data/service_notif_defaults_applied.txt");
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
        QTest::newRow("v1") << QByteArray("v1") << 1;
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

    void applyOnce_data()
    {
        QTest::addColumn<QString>("marker"); // "<dir>" for a directory, "<none>" for no marker
        QTest::addColumn<bool>("applied");
        QTest::addColumn<QByteArray>("markerAfter"); // "<dir>" when it stays a directory
        QTest::newRow("no marker") << "<none>" << true << QByteArray("v2\n");
        QTest::newRow("ok is version 1") << "ok\n" << true << QByteArray("v2\n");
        QTest::newRow("v2") << "v2\n" << false << QByteArray("v2\n");
        QTest::newRow("v3 with blanks") << "  v3  \n" << false << QByteArray("  v3  \n");
        QTest::newRow("letters") << "vx\n" << true << QByteArray("v2\n");
        QTest::newRow("negative") << "v-1\n" << true << QByteArray("v2\n");
        QTest::newRow("directory at the marker path") << "<dir>" << true << QByteArray("<dir>");
    }

    void applyOnce()
    {
        QFETCH(QString, marker);
        QFETCH(bool, applied);
        QFETCH(QByteArray, markerAfter);
        TestDevice device;
        if (marker == "<dir>")
            QVERIFY(QDir().mkpath(device.path(kMarker)));
        else if (marker != "<none>")
            QVERIFY(device.write(kMarker, marker.toUtf8()));

        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        if (applied) {
            QVERIFY(log.contains("service: notif_defaults apply err=0"));
            QVERIFY(log.contains("service: notif_settings alerts=1 sound=1 vibrate=1 led=1 preview=1"));
        } else {
            QVERIFY(log.matching("service: notif_").isEmpty());
        }
        if (markerAfter == "<dir>")
            QVERIFY(QFileInfo(device.path(kMarker)).isDir());
        else
            QCOMPARE(device.read(kMarker), markerAfter);
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
            QVERIFY(lines.at(0).startsWith("service: notif_defaults apply err="));
            QVERIFY(lines.at(0) != "service: notif_defaults apply err=0");
            QCOMPARE(lines.at(1), QByteArray("service: notif_settings alerts=1 sound=0 vibrate=0 led=0 preview=0"));
            QVERIFY(!device.exists(kMarker));
        }
        QVERIFY(QFile::remove(device.path("platform")));
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QVERIFY(log.contains("service: notif_defaults apply err=0"));
        QCOMPARE(device.read(kMarker), QByteArray("v2\n"));
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_notification_defaults.moc"
