// Line splitting of the two streams of lines from outside.
//
// Command datagrams: the lines are the datagram's parts between line feeds, each decoded and trimmed, blank ones left
// out; decoding the whole datagram first must give the same lines as decoding each part.
//
// The events file, read in chunks of any size with the carriage returns of each chunk dropped: the same lines as
// splitting the whole text at its line feeds, a line longer than the bound reported once and dropped, and the
// unfinished rest carried over.

#include <QByteArrayView>
#include <QStringList>

#include <fuzzer/FuzzedDataProvider.h>

#include "backend/backend_logic.h"
#include "events/event_tail.h"
#include "fuzz_check.h"

namespace {
// What the splitter reports, in order: "+" and a line, or "overlong".
using Report = QList<QByteArray>;
const QByteArray kOverlong = "overlong";

struct Split {
    Report reports;
    eventtail::LineAssembly state;
};

Split splitWhole(QByteArray text, qint64 maxLine)
{
    text.replace('\r', QByteArray());
    Split split;
    QList<QByteArray> parts = text.split('\n');
    const QByteArray last = parts.takeLast();
    for (const QByteArray &part : parts)
        split.reports.append(part.size() > maxLine ? kOverlong : '+' + part);
    if (last.size() > maxLine) {
        split.reports.append(kOverlong);
        split.state.skipping = true;
    } else {
        split.state.partial = last;
    }
    return split;
}

Split splitInChunks(const QByteArray &text, qint64 maxLine, FuzzedDataProvider &cuts)
{
    Split split;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype n = cuts.ConsumeIntegralInRange<qsizetype>(1, text.size() - pos);
        QByteArray chunk = text.mid(pos, n);
        pos += n;
        eventtail::dropCarriageReturns(chunk);
        eventtail::splitLines(
            split.state, chunk, maxLine,
            [&](QByteArrayView line) {
                fuzzCheck(!line.contains('\n') && line.size() <= maxLine, "a line holds a line feed or is too long");
                split.reports.append('+' + line.toByteArray());
            },
            [&] { split.reports.append(kOverlong); });
    }
    return split;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const qint64 maxLine = input.ConsumeIntegralInRange<qint64>(1, 64);
    const QByteArray text = QByteArray::fromStdString(input.ConsumeRandomLengthString());

    QStringList datagramLines;
    for (const QByteArray &part : text.split('\n'))
        datagramLines.append(QString::fromUtf8(part).trimmed());
    datagramLines.removeAll(QString());
    fuzzCheck(backend::commandLines(text) == datagramLines, "datagram lines differ");
    const Split whole = splitWhole(text, maxLine);
    const Split chunked = splitInChunks(text, maxLine, input);
    fuzzCheck(chunked.reports == whole.reports, "lines differ from splitting the whole text");
    fuzzCheck(chunked.state.partial == whole.state.partial && chunked.state.skipping == whole.state.skipping,
              "the carried-over rest differs");
    return 0;
}
