// Outside the fuzz build a target replays the files it is given, each file of
// a folder in name order, so every seed is also a case of the ordinary suite.
// The name goes out before the run: a failed check aborts right after it.

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QFileInfo arg(QString::fromLocal8Bit(argv[i]));
        const QFileInfoList files =
            arg.isDir() ? QDir(arg.filePath()).entryInfoList(QDir::Files, QDir::Name) : QFileInfoList {arg};
        for (const QFileInfo &info : files) {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(info.filePath()));
                return 1;
            }
            const QByteArray input = file.readAll();
            std::fprintf(stderr, "replay %s\n", qPrintable(info.fileName()));
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
            ++replayed;
        }
    }
    std::fprintf(stderr, "%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
