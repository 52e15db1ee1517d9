// Outside the fuzz build a target replays the seeds in the folders it is given, in name order, so every seed is also
// a case of the ordinary suite. The name goes out before the run: a failed check aborts right after it.

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const QFileInfo &seed : QDir(QString::fromLocal8Bit(argv[i])).entryInfoList(QDir::Files, QDir::Name)) {
            QFile file(seed.filePath());
            std::fprintf(stderr, "replay %s\n", qPrintable(seed.fileName()));
            if (!file.open(QIODevice::ReadOnly))
                return 1;
            const QByteArray input = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
            ++replayed;
        }
    }
    std::fprintf(stderr, "%d seeds replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
