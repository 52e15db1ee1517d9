// Following the events file in the service: offsets, carry-over, the
// dispatch, and the bounds that keep a hostile file harmless.

#include <QtTest>

#include <cstdio>
#include <ctime>

#include <sys/stat.h>

#include "events/event_tail.h"
#include "service_main.h"
#include "testdevice.h"

namespace {
const QString kEvents = QStringLiteral("data/backend_events.jsonl");

QByteArray message(const QByteArray &text, qint64 chatId = 1)
{
    return messageEvent(chatId, "C", text) + '\n';
}

bool append(const TestDevice &device, const QByteArray &bytes)
{
    QFile file(device.path(kEvents));
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(bytes) == bytes.size();
}

// Puts another file in place of the events file, as a rename does.
bool replace(const TestDevice &device, const QByteArray &bytes)
{
    const QString next = device.path(kEvents) + QStringLiteral(".next");
    return device.write(kEvents + QStringLiteral(".next"), bytes) && ::rename(QFile::encodeName(next), QFile::encodeName(device.path(kEvents))) == 0;
}

// Bytes this process has read so far, and its processor time.
qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    const QByteArray text = io.open(QIODevice::ReadOnly) ? io.readAll() : QByteArray();
    const qsizetype at = text.indexOf("rchar: ");
    return at < 0 ? -1 : text.mid(at + 7, text.indexOf('\n', at) - at - 7).toLongLong();
}
double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

qint64 statusKiB(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

    // The message texts dispatched so far, oldest first.
    static QStringList dispatched(const ZunaroHeadlessService &service)
    {
        QStringList texts;
        for (const auto &line : service.hubSummaryLines)
            texts.prepend(line.text.mid(3)); // without "C: "
        return texts;
    }

private slots:
    // Each step changes the file or runs a pass: "+bytes" appends, "=bytes"
    // rewrites the file, "rbytes" renames a new file over it, "-" deletes
    // it, "f" and "d" put a FIFO or a directory in its place (a pass must
    // return at once), "p" runs a pass.
    void tail_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QList<QByteArray>>("steps");
        QTest::addColumn<QStringList>("texts");

        const QByteArray m1 = message("1"), m2 = message("2"), m3 = message("3"), m8 = message("8");
        QTest::newRow("file order in one pass") << QByteArray() << QList<QByteArray> { "+" + m1 + m2 + m3, "p" }
                                                << QStringList { "1", "2", "3" };
        QTest::newRow("line split across passes")
            << QByteArray() << QList<QByteArray> { "+" + m1.left(20), "p", "+" + m1.mid(20), "p", "p" }
            << QStringList { "1" };
        QTest::newRow("blank and CR-only lines") << QByteArray() << QList<QByteArray> { "+\n   \n\r\n\t\n" + m1, "p" }
                                                 << QStringList { "1" };
        QTest::newRow("CRLF") << QByteArray()
                              << QList<QByteArray> { "+" + m1.chopped(1) + "\r\n" + m2.chopped(1) + "\r\n", "p" }
                              << QStringList { "1", "2" };
        QTest::newRow("array and wrong-case type")
            << QByteArray()
            << QList<QByteArray> { "+[" + m1.chopped(1) + "]\n" + QByteArray(m2).replace("hub_notify", "Hub_Notify") + m3,
                                   "p" }
            << QStringList { "3" };
        QTest::newRow("not JSON, no type, other type")
            << QByteArray()
            << QList<QByteArray> { "+{oops\n{\"chat_id\":1}\n{\"type\":\"typing\"}\n\"hub_notify_message\"\n" + m1, "p" }
            << QStringList { "1" };
        QTest::newRow("truncated below the offset: read from 0")
            << QByteArray() << QList<QByteArray> { "+" + m1 + m2, "p", "=" + m3, "p" } << QStringList { "1", "2", "3" };
        QTest::newRow("truncation drops the partial line")
            << QByteArray() << QList<QByteArray> { "+" + m1 + "{\"type\":\"hub_", "p", "=" + m2, "p" }
            << QStringList { "1", "2" };
        QTest::newRow("regrown past the offset: read on from it")
            << QByteArray() << QList<QByteArray> { "+" + m1, "p", "=" + m8 + m2, "p" } << QStringList { "1", "2" };
        QTest::newRow("deleted, recreated shorter")
            << QByteArray() << QList<QByteArray> { "+" + m1 + m2, "p", "-", "p", "=" + m3, "p" }
            << QStringList { "1", "2", "3" };
        QTest::newRow("deleted, recreated longer: read from 0")
            << QByteArray() << QList<QByteArray> { "+" + m1, "p", "-", "p", "=" + m8 + m2, "p" }
            << QStringList { "1", "8", "2" };
        QTest::newRow("replaced by a longer file: read from 0")
            << QByteArray() << QList<QByteArray> { "+" + m1, "p", "r" + m8 + m2, "p" } << QStringList { "1", "8", "2" };
        const QByteArray broken = message(QByteArray(600 * 1024, '\xff'));
        QTest::newRow("600 KB of broken UTF-8 across passes")
            << QByteArray() << QList<QByteArray> { "+" + broken.left(300 * 1024), "p", "+" + broken.mid(300 * 1024), "p" }
            << QStringList { QString(177, QChar(0xfffd)) + QChar(0x2026) };
        QTest::newRow("written before start-up") << m1 + m8 << QList<QByteArray> { "+" + m2, "p" } << QStringList { "2" };
        QTest::newRow("NUL spoils its line only")
            << QByteArray()
            << QList<QByteArray> { "+" + QByteArray(m1).replace("\"1\"", QByteArray("\"1\0x\"", 5)) + m2 + m3, "p" }
            << QStringList { "2", "3" };
        QTest::newRow("character split across passes")
            << QByteArray() << QList<QByteArray> { "+" + message("\xe2\x82\xac").left(67), "p",
                                                   "+" + message("\xe2\x82\xac").mid(67), "p" }
            << QStringList { QString(QChar(0x20ac)) };
        QTest::newRow("FIFO in place of the file") << QByteArray() << QList<QByteArray> { "f", "p", "-", "+" + m1, "p" }
                                                   << QStringList { "1" };
        QTest::newRow("directory in place of the file") << QByteArray() << QList<QByteArray> { "d", "p" }
                                                        << QStringList {};
    }
    void tail()
    {
        QFETCH(QByteArray, existing);
        QFETCH(QList<QByteArray>, steps);
        TestDevice device;
        if (!existing.isEmpty())
            QVERIFY(device.write(kEvents, existing));
        ZunaroHeadlessService service(nullptr);
        for (const QByteArray &step : steps) {
            if (step.startsWith('+'))
                QVERIFY(append(device, step.mid(1)));
            else if (step.startsWith('='))
                QVERIFY(device.write(kEvents, step.mid(1)));
            else if (step.startsWith('r'))
                QVERIFY(replace(device, step.mid(1)));
            else if (step == "-")
                QVERIFY(QFile::remove(device.path(kEvents)));
            else if (step == "f" || step == "d")
                QVERIFY(device.write(kEvents, step == "f" ? "<fifo>" : "<dir>"));
            else
                service.tailBackendEvents();
        }
        QTEST(dispatched(service), "texts");
        QVERIFY(!service.eventsPartialLine.contains('\n'));
    }

    void dispatchTable_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint64>("summaryChat"); // 0: no line
        QTest::addColumn<qint64>("unreadChat");  // 0: no count
        QTest::addColumn<int>("unread");
        QTest::newRow("message, 2^53+1 as number") << message("x", 9007199254740993LL) << 9007199254740993LL
                                                   << qint64(0) << 0;
        QTest::newRow("unread, 2^53+1 as number")
            << QByteArray("{\"type\":\"chat_unread\",\"chat_id\":9007199254740993,\"unread_count\":3}\n") << qint64(0)
            << 9007199254740993LL << 3;
        QTest::newRow("unread, members as strings, any order")
            << QByteArray("{\"unread_count\":\"4\",\"chat_id\":\"9007199254740993\",\"type\":\"chat_unread\"}\n")
            << qint64(0) << 9007199254740993LL << 4;
        QTest::newRow("escaped type") << QByteArray("{\"type\":\"chat\\u005funread\",\"chat_id\":5,\"unread_count\":1}\n")
                                      << qint64(0) << qint64(5) << 1;
        QTest::newRow("type not a string") << QByteArray("{\"type\":[\"chat_unread\"],\"chat_id\":5,\"unread_count\":1}\n")
                                           << qint64(0) << qint64(0) << 0;
    }
    void dispatchTable()
    {
        QFETCH(QByteArray, line);
        QFETCH(qint64, summaryChat);
        QFETCH(qint64, unreadChat);
        QFETCH(int, unread);
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        QVERIFY(append(device, line));
        service.tailBackendEvents();
        QCOMPARE(service.hubSummaryLines.isEmpty() ? 0 : service.hubSummaryLines.first().chatId, summaryChat);
        QCOMPARE(service.hubSummaryChatIds.contains(summaryChat), summaryChat != 0);
        QCOMPARE(service.chatUnreadCounts.value(unreadChat, 0), unread);
        QCOMPARE(service.hubUnreadCounts.contains(unreadChat), unreadChat != 0);
    }

    void tailTickOnlyWhenActiveInPushMode_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("pushMode");
        QTest::addColumn<bool>("read");
        QTest::newRow("active, push") << true << true << true;
        QTest::newRow("stopped, push") << false << true << false;
        QTest::newRow("active, backend mode") << true << false << false;
    }
    void tailTickOnlyWhenActiveInPushMode()
    {
        QFETCH(bool, active);
        QFETCH(bool, pushMode);
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        service.serviceActive = active;
        service.tgpushMode = pushMode;
        QVERIFY(append(device, "{\"type\":\"chat_unread\",\"chat_id\":7,\"unread_count\":2}\n"));
        service.onEventsTailTick();
        QTEST(service.chatUnreadCounts.contains(7), "read");
        QTEST(service.eventsFileOffset > 0, "read");
    }

    void overlongLineIsDroppedOnce()
    {
        TestDevice device;
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        const QByteArray huge(5 * 1024 * 1024, 'x');
        QVERIFY(append(device, message("1") + "{\"text\":\"" + huge.left(3 * 1024 * 1024)));
        service.tailBackendEvents();
        QVERIFY(service.eventsPartialLine.isEmpty());
        QVERIFY(append(device, huge.left(2 * 1024 * 1024)));
        service.tailBackendEvents();
        QVERIFY(append(device, "\"}\n" + message("2")));
        service.tailBackendEvents();
        QCOMPARE(dispatched(service), (QStringList { "1", "2" }));
        QCOMPARE(log.matching("service: events line longer than").size(), 1);
        QVERIFY(service.eventsPartialLine.isEmpty());
    }

    // A pass reads a bounded amount, at a cost in proportion to it, and the
    // next pass goes on from there.
    void passIsBounded_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<qint64>("hole"); // bytes of nothing after the line
        QTest::addColumn<QStringList>("texts");
        QByteArray names = "{\"type\":\"chat_unread\",\"chat_id\":1,\"unread_count\":2";
        for (int i = 125000; i > 0; --i)
            names += ",\"m" + QByteArray::number(i) + "\":1";
        QTest::newRow("125,000 names in descending order") << names + "}\n" << qint64(0) << QStringList { "after" };
        QTest::newRow("8 GiB hole") << message("1") << (qint64(8) << 30) << QStringList { "1", "after" };
    }
    void passIsBounded()
    {
        QFETCH(QByteArray, line);
        QFETCH(qint64, hole);
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        QVERIFY(append(device, line));
        QVERIFY(QFile::resize(device.path(kEvents), line.size() + hole));
        QVERIFY(append(device, "\n" + message("after")));
        const qint64 readBefore = bytesRead();
        const double cpuBefore = cpuSeconds();
        service.tailBackendEvents();
        QCOMPARE_LE(bytesRead() - readBefore, eventtail::kMaxPassBytes + 64 * 1024);
        QCOMPARE_LT(cpuSeconds() - cpuBefore, 2.0);
        for (int pass = 0; pass < 4; ++pass)
            service.tailBackendEvents();
        QTEST(dispatched(service), "texts");
    }

    void hugeAppendKeepsMemoryBounded()
    {
#ifdef __SANITIZE_ADDRESS__
        // AddressSanitizer keeps freed buffers in quarantine, so the peak
        // resident size says nothing about the tail here.
        QSKIP("the peak RSS is the sanitizer's under AddressSanitizer");
#endif
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        {
            QFile file(device.path(kEvents));
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
            QByteArray block;
            for (int i = 0; i < 10000; ++i)
                block += "{\"type\":\"user_status\",\"user_id\":12345678,\"status\":\"online, and then some more\"}\n";
            block += message("m");
            for (qint64 written = 0; written < 200LL * 1000 * 1000; written += block.size())
                QVERIFY(file.write(block) == block.size());
        }
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
            QSKIP("the peak RSS cannot be reset here");
        clearRefs.close();
        const qint64 before = statusKiB("VmRSS");
        const qint64 size = QFileInfo(device.path(kEvents)).size();
        while (service.eventsFileOffset < size)
            service.tailBackendEvents();
        const qint64 peak = statusKiB("VmHWM");
        QVERIFY(service.hubSummaryMessageCount > 200);
        QVERIFY2(peak - before < 64 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(peak - before)));
    }

    // With the tick stopped, the watch alone brings each append to its
    // handler, also after a rename put another file in place.
    void watchReadsWithoutTheTick()
    {
        TestDevice device;
        ZunaroHeadlessService service(nullptr);
        service.tickTimer->stop();
        QVERIFY(append(device, "{\"type\":\"call_update\",\"call_id\":5,\"chat_id\":12,\"user_id\":3,"
                               "\"state\":\"callStatePending\",\"user_name\":\"Ann\"}\n"));
        QTRY_VERIFY(service.incomingCallDialog && service.incomingCallDialog->isShown());
        QVERIFY(replace(device, message("1")));
        QTRY_COMPARE(dispatched(service), QStringList { "1" });
        QVERIFY(append(device, message("2")));
        QTRY_COMPARE(dispatched(service), (QStringList { "1", "2" }));
    }

    void tickAloneWithoutTheWatch()
    {
        TestDevice device;
        QVERIFY(QDir(device.dataDir()).removeRecursively());
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        QCOMPARE(log.matching("service: events file watch unavailable").size(), 1);
        QVERIFY(QDir().mkpath(device.dataDir()));
        QVERIFY(append(device, message("1")));
        service.onTick();
        QCOMPARE(dispatched(service), QStringList { "1" });
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_events_tail.moc"
