// Both settings-file dialects against a plain reading of their rules. Shared: a line ends at a line feed; decoded and
// trimmed, a line that is empty or begins with "#" assigns nothing, nor does one without a name before its first "=";
// the name is the text before that "=", the value the text after it, both trimmed. The backend's environment files
// keep quotes and skip a line holding a NUL (no environment entry can carry one); the push settings drop one pair of
// matching quotes around a value, and the last assignment of a name wins. A number setting is a decimal int in its
// range or nothing. And a file is read as its complete lines within the size bound. The first input byte is the size
// bound (plus one), the rest the file.

#include <QMap>

#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

#include "core/env_file.h"
#include "fuzz_check.h"
#include "push/env_config.h"

namespace {
envfile::Assignment plainAssignment(const QByteArray &raw, bool *assigns)
{
    const QString line = QString::fromUtf8(raw).trimmed();
    const qsizetype eq = line.indexOf(u'=');
    const QString name = line.left(qMax(eq, 0)).trimmed();
    *assigns = !line.startsWith(u'#') && !name.isEmpty();
    return {name, line.mid(eq + 1).trimmed()};
}

// Digits after an optional sign, in 0..maxValue; a longer run of digits overflows to a value above it.
bool plainBoundedInt(const QString &text, int maxValue, int &out)
{
    const QByteArray ascii = text.toLatin1();
    const long long number = std::strtoll(ascii.constData(), nullptr, 10);
    if (!plainDigits(ascii, true) || number < 0 || number > maxValue)
        return false;
    out = int(number);
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const qsizetype bound = data[0] + 1;
    const QByteArray content = fuzzInput(data + 1, size - 1);

    QList<envfile::Assignment> environment;
    QMap<QString, QString> settings;
    for (const QByteArray &line : content.split('\n')) {
        bool assigns = false;
        const envfile::Assignment a = plainAssignment(line, &assigns);
        if (!assigns)
            continue;
        if (!line.contains('\0'))
            environment.append(a);
        const QString &v = a.second;
        const bool quoted = v.size() >= 2 && v.front() == v.back() && (v.front() == u'"' || v.front() == u'\'');
        settings.insert(a.first, quoted ? v.mid(1, v.size() - 2) : v);
    }
    fuzzCheck(envfile::parseBackendEnv(content) == environment, "the backend environment differs");
    const QMap<QString, QString> got = envfile::parsePushSettings(content);
    fuzzCheck(got == settings, "the push settings differ");
    for (const QString &value : got) {
        int gotNumber = -1;
        int wantNumber = -1;
        fuzzCheck(push::parseBoundedInt(value, 300000, gotNumber) == plainBoundedInt(value, 300000, wantNumber)
                      && gotNumber == wantNumber,
                  "a number setting reads differently");
    }

    // The file the reader opens: a memory file, reached by its path.
    const int fd = memfd_create("fuzz", 0);
    fuzzCheck(fd >= 0 && write(fd, content.constData(), size_t(content.size())) == content.size(), "no memory file");
    QByteArray read;
    const bool opened = envfile::readEnvFile(QStringLiteral("/proc/self/fd/%1").arg(fd), bound, read);
    close(fd);
    fuzzCheck(opened, "the file was not read");
    const QByteArray head = content.size() <= bound ? content : content.left(content.left(bound).lastIndexOf('\n') + 1);
    fuzzCheck(read == head, "the file was not read as its complete lines within the bound");
    return 0;
}
