// The UI presence files: content first, then the modification time, then
// existence alone.

#include <QtTest>

#include <sys/stat.h>

#include "core/presence.h"
#include "service_main.h"
#include "testdevice.h"
#include "zunaro/device.h"

namespace {
constexpr qint64 kNow = 1700000000000;
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void freshness_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("mtimeAgeMs"); // -1: no usable modification time
        QTest::addColumn<bool>("fresh");
        const QByteArray exactly60s = QByteArray::number(kNow - 60000);
        QTest::newRow("exactly the window") << exactly60s << qint64(-1) << true;
        QTest::newRow("one past the window") << QByteArray::number(kNow - 60001) << qint64(-1) << false;
        QTest::newRow("five minutes ahead") << QByteArray::number(kNow + 300000) << qint64(-1) << true;
        QTest::newRow("blanks and line feed") << " " + exactly60s + " \r\n" << qint64(-1) << true;
        QTest::newRow("content beats an old mtime") << QByteArray::number(kNow - 1000) << qint64(3600000) << true;
        QTest::newRow("empty, modified 10 s ago") << QByteArray() << qint64(10000) << true;
        QTest::newRow("empty, modified 2 min ago") << QByteArray() << qint64(120000) << false;
        // A fresh modification time makes the fallback visible: read as a
        // time, each of these would be stale.
        for (const QByteArray &noTime : {QByteArray("abc"), QByteArray("12 34"), QByteArray("0"), QByteArray("-5"),
                                         QByteArray(40, '9')})
            QTest::newRow(noTime.left(8).constData()) << noTime << qint64(10000) << true;
        QTest::newRow("binary falls back") << QByteArray("\0\xff\x01", 3) << qint64(10000) << true;
        QTest::newRow("no time at all: existence counts") << QByteArray("x") << qint64(-1) << true;
    }

    void freshness()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, mtimeAgeMs);
        QFETCH(bool, fresh);
        const qint64 mtime = mtimeAgeMs < 0 ? 0 : kNow - mtimeAgeMs;
        QCOMPARE(presence::isFresh(content, mtime, kNow, 60000), fresh);
    }

    // What the file reader does before the rules above get the content.
    void filesOnDisk_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("fresh");
        for (const char *stale : {"missing", "directory", "fifo", "long first line falls back to mtime"})
            QTest::newRow(stale) << stale << false;
        QTest::newRow("first line of a huge file") << "huge" << true;
    }
    void filesOnDisk()
    {
        QFETCH(QString, kind);
        QFETCH(bool, fresh);
        TestDevice device;
        const QString path = device.path("data/ui_alive.txt");
        if (kind == "directory") {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == "fifo") {
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == "huge") {
            QVERIFY(device.write("data/ui_alive.txt", QByteArray::number(kNow) + "\n" + QByteArray(8 << 20, 'x')));
        } else if (kind.startsWith("long")) {
            // A stamp that only starts after 64 bytes is not read; the file
            // is old, so it is not fresh.
            QVERIFY(device.write("data/ui_alive.txt", QByteArray(70, ' ') + QByteArray::number(kNow)));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::fromMSecsSinceEpoch(kNow - 120000), QFileDevice::FileModificationTime));
        }
        QCOMPARE(presence::fileIsFresh(path, kNow, 60000), fresh);
    }

    void aliveAndRunningWindows()
    {
        TestDevice device;
        platform::setClockMs(kNow);
        const QByteArray twentySecondsAgo = QByteArray::number(kNow - 20000);
        QVERIFY(device.write("data/ui_alive.txt", twentySecondsAgo));
        QVERIFY(device.write("data/ui_running.txt", twentySecondsAgo));
        ZunaroHeadlessService service(nullptr);
        // The same age: inside the alive window, outside the running one.
        QVERIFY(service.isUiAliveRecent() && !service.isUiRunningActive());

        // Each call reads the files again.
        QVERIFY(device.write("data/ui_running.txt", QByteArray::number(kNow - 15000)));
        QVERIFY(service.isUiRunningActive());
        QVERIFY(QFile::remove(device.path("data/ui_alive.txt")));
        QVERIFY(!service.isUiAliveRecent());
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_core_presence.moc"
