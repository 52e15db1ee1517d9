// Following the events file in the service: offsets, carry-over, the
// dispatch, and the bounds that keep a hostile file harmless.

#include <QtTest>

#include <algorithm>
#include <cstdio>

#include "events/event_tail.h"
#include "serviceprobe.h"
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
    const QString next = kEvents + QStringLiteral(".next");
    return device.write(next, bytes)
        && ::rename(QFile::encodeName(device.path(next)), QFile::encodeName(device.path(kEvents))) == 0;
}

// The bytes this process has read so far ("rchar" of /proc/self/io).
qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    const QByteArray text = io.open(QIODevice::ReadOnly) ? io.readAll() : QByteArray();
    const qsizetype at = text.indexOf("rchar:");
    return at < 0 ? -1 : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().toLongLong();
}
} // namespace

class EventsTailTest : public QObject
{
    Q_OBJECT

    // What the dispatch did: the message texts, oldest first ("<chat>: <text>" outside chat 1), then each chat's
    // unread count and unread news (-1: none), by chat.
    static QStringList dispatched(ServiceProbe &probe)
    {
        QStringList seen;
        for (const auto &line : probe.summary.hubSummaryLines)
            seen.prepend((line.chatId == 1 ? QString() : QString::number(line.chatId) + ": ") + line.text.mid(3));
        QList<qint64> chats = probe.summary.chatUnreadCounts.keys();
        std::sort(chats.begin(), chats.end());
        for (qint64 chat : chats)
            seen << QStringLiteral("unread %1: %2, news %3").arg(chat).arg(probe.summary.chatUnreadCounts.value(chat))
                        .arg(probe.summary.hubUnreadCounts.value(chat, -1));
        return seen;
    }

private slots:
    // Steps: "+bytes" appends, "=bytes" rewrites as placeAt() does ("=<fifo>", "=<dir>"), "rbytes" renames a new
    // file over it, "<" and ">" move it away and back, "-" deletes it, "hN" adds an N-byte hole, "p" runs a pass,
    // "t" the tail tick, "push", "stop" and "start" set the mode. Seen: what was dispatched, then the lines dropped,
    // as logged.
    void tail_data()
    {
        QTest::addColumn<QList<QByteArray>>("steps");
        QTest::addColumn<QStringList>("seen");
        const auto row = [](const char *name, const QList<QByteArray> &steps, const QStringList &seen) {
            QTest::newRow(name) << steps << seen;
        };
        const QString tooLong = QStringLiteral("service: events line longer than 1048576 bytes dropped");
        const QString tooMany = QStringLiteral("service: events line with more than 10000 values dropped");
        const QByteArray m1 = message("1"), m2 = message("2"), m3 = message("3"), m8 = message("8");
        const QByteArray notEvents = "[" + m1.chopped(1) + "]\n\"hub_notify_message\"\n"
            + QByteArray(m2).replace("\"2\"", QByteArray("\"2\0x\"", 5))
            + R"({"type":["chat_unread"],"chat_id":5,"unread_count":1})" "\n";
        QByteArray manyValues = messageEvent(1, "C", "v").chopped(1);
        for (int i = 0; i < eventtail::kMaxLineValues; ++i)
            manyValues += ",\"m" + QByteArray::number(i) + "\":1";
        const QByteArray huge(2 * 1024 * 1024, 'x');
        const QByteArray euro = message("\xe2\x82\xac");
        const QByteArray broken = message(QByteArray(600 * 1024, '\xff'));
        row("file order in one pass", {"+" + m1 + m2 + m3, "p"}, {"1", "2", "3"});
        row("blank, CR-only and CRLF lines", {"+\n   \n\r\n\t\n" + m1.chopped(1) + "\r\n" + m2, "p"}, {"1", "2"});
        row("array, string, NUL, type not a string", {"+" + notEvents + m3, "p"}, {"3"});
        row("message, 2^53+1 as number", {"+" + message("x", 9007199254740993LL), "p"}, {"9007199254740993: x"});
        row("unread, members as strings, any order",
            {R"(+{"unread_count":"4","chat_id":"9007199254740993","type":"chat_unread"})" "\n", "p"},
            {"unread 9007199254740993: 4, news 4"});
        row("more values than a line may hold", {"+" + manyValues + "}\n" + m1, "p"}, {"1", tooMany});
        row("overlong line dropped once", {"+" + m1 + "{\"text\":\"" + huge, "p", "+" + huge, "p", "+\"}\n" + m2, "p"},
            {"1", "2", tooLong});
        row("truncated: read from 0, partial line dropped", {"+" + m1 + "{\"type\":\"hub_", "p", "=" + m2, "p"},
            {"1", "2"});
        row("rewritten from its start, same size, then longer: read from 0",
            {"+" + m1, "p", "=" + m8, "p", "=" + m1 + m2, "p"}, {"1", "8", "1", "2"});
        QByteArray rewrite;
        QStringList unread {"1", "2", "3"};
        for (int chat = 100; chat < 115; ++chat) {
            rewrite += unreadEvent(chat, 1) + '\n';
            unread << QStringLiteral("unread %1: 1, news 1").arg(chat);
        }
        row("15 lines over 3 shorter ones", {"+" + m1 + m2 + m3, "p", "=" + rewrite, "p"}, unread);
        const QByteArray pad = "{\"pad\":\"" + QByteArray(2000, 'a') + "\","; // a first line past the head's bound
        row("first line past the head's bound, grown", {"+" + pad + m1.mid(1), "p", "+" + m2, "p"}, {"1", "2"});
        row("first line past the head's bound, rewritten: read from 0",
            {"+" + pad + m1.mid(1), "p", "=" + QByteArray(pad).replace('a', 'b') + m8.mid(1) + m2, "p"},
            {"1", "8", "2"});
        row("appended, deleted: read to its end; recreated longer: from 0",
            {"+" + m1, "p", "+" + m2, "-", "p", "=" + m8 + m3, "p"}, {"1", "2", "8", "3"});
        row("appended, renamed over: read to its end, the new one from 0",
            {"+" + m1, "p", "+" + m2, "r" + m8 + m3, "p"}, {"1", "2", "8", "3"});
        row("moved away and back: read on", {"+" + m1, "p", "<", "p", ">", "+" + m2, "p"}, {"1", "2"});
        row("character split across passes", {"+" + euro.left(67), "p", "+" + euro.mid(67), "p", "p"},
            {QString(QChar(0x20ac))});
        row("600 KB of broken UTF-8 across passes",
            {"+" + broken.left(300 * 1024), "p", "+" + broken.mid(300 * 1024), "p"},
            {QString(177, QChar(0xfffd)) + QChar(0x2026)});
        row("3 MiB: two bounded passes", {"+" + QByteArray(3 * 1024 * 1024, '\n') + m1, "p", "p"}, {"1"});
        row("8 GiB hole: skipped unread", {"+" + m1, "h8589934592", "+\n" + m2, "p"}, {"1", "2"});
        const QByteArray unread7 = "+" + unreadEvent(7, 2) + '\n';
        row("tail tick in push mode", {unread7, "push", "t"}, {"unread 7: 2, news 2"});
        row("no tail tick when stopped: left for later", {unread7, "push", "stop", "t", "start", "p"},
            {"unread 7: 2, news 2"});
        row("no tail tick in backend mode", {unread7, "t"}, {});
        row("FIFO in place of the file", {"=<fifo>", "p", "-", "+" + m1, "p"}, {"1"});
        row("directory in place of the file", {"=<dir>", "p"}, {});
    }
    // Every pass reads a bounded amount and carries no more than one line's bound over.
    void tail()
    {
        QFETCH(QList<QByteArray>, steps);
        TestDevice device;
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe probe(service);
        const QString path = device.path(kEvents);
        for (const QByteArray &step : steps) {
            if (step.startsWith('+')) {
                QVERIFY(append(device, step.mid(1)));
            } else if (step.startsWith('=')) {
                QVERIFY(device.write(kEvents, step.mid(1)));
            } else if (step.startsWith('r')) {
                QVERIFY(replace(device, step.mid(1)));
            } else if (step.startsWith('h')) {
                QVERIFY(QFile::resize(path, QFileInfo(path).size() + step.mid(1).toLongLong()));
            } else if (step == "<" || step == ">") {
                const QString away = path + QStringLiteral(".away");
                QVERIFY(step == "<" ? QFile::rename(path, away) : QFile::rename(away, path));
            } else if (step == "-") {
                QVERIFY(QFile::remove(path));
            } else if (step == "push") {
                probe.push.tgpushMode = true;
            } else if (step == "stop" || step == "start") {
                probe.serviceActive = step == "start";
            } else if (step == "t") {
                probe.onEventsTailTick();
            } else {
                const qint64 readBefore = bytesRead();
                probe.tailBackendEvents();
                QCOMPARE_LE(bytesRead() - readBefore, eventtail::kMaxPassBytes + 64 * 1024);
                QVERIFY(!probe.tail.eventsPartialLine.contains('\n'));
                QCOMPARE_LE(probe.tail.eventsPartialLine.size(), eventtail::kMaxLineBytes);
            }
        }
        QStringList seen = dispatched(probe);
        for (const QByteArray &line : log.matching("service: events line"))
            seen << QString::fromUtf8(line);
        QTEST(seen, "seen");
    }

    void eitherReaderAlone_data()
    {
        QTest::addColumn<bool>("watched");
        QTest::newRow("the watch, with the tick stopped") << true;
        QTest::newRow("the tick, with no data folder to watch at start") << false;
    }
    // Each append reaches its handler, also the last one before the file is renamed away and a new one started (20
    // times, 0.3 s apart), by the watch alone or, where none could be set (said once), by the tick alone.
    void eitherReaderAlone()
    {
        QFETCH(bool, watched);
        TestDevice device;
        QVERIFY(watched || QDir(device.dataDir()).removeRecursively());
        LogCapture log;
        ZunaroHeadlessService service(nullptr);
        ServiceProbe probe(service);
        QCOMPARE(log.matching("service: events file watch unavailable").size(), int(!watched));
        probe.tickTimer->stop();
        QVERIFY(QDir().mkpath(device.dataDir()));
        const auto written = [&](bool done) {
            if (!watched)
                probe.onTick();
            return done;
        };
        QVERIFY(written(append(device, callEvent(5, "callStatePending") + '\n')));
        QTRY_VERIFY(probe.calls.incomingCallDialog && probe.calls.incomingCallDialog->isShown());
        const QByteArray path = QFile::encodeName(device.path(kEvents));
        for (int i = 0; i < 20; ++i) {
            QVERIFY(append(device, unreadEvent(2 * i + 1, 1) + '\n'));
            QCOMPARE(::rename(path, path + ".1"), 0);
            QVERIFY(written(append(device, unreadEvent(2 * i + 2, 1) + '\n')));
            QTest::qWait(300);
        }
        QTRY_COMPARE(probe.summary.chatUnreadCounts.size(), 40);
    }
};

QTEST_GUILESS_MAIN(EventsTailTest)
#include "tst_events_tail.moc"
