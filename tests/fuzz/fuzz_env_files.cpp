// Both settings-file dialects against a plain reading of their rules, on a
// whole file. Shared: a line ends at a line feed; a line that, trimmed, is
// empty or begins with "#" assigns nothing, nor does one without a name
// before its first "="; the name is the text before that "=", the value the
// text after it, both trimmed; the last assignment of a name wins.
// The backend's environment files keep quotes and skip a line holding a
// NUL (no environment entry can carry one); the push settings trim the
// raw line and then drop one pair of matching quotes around the value.

#include <QMap>
#include <QStringList>

#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_check.h"
#include "push/env_config.h"
#include "service_main.h"

namespace {
struct Assignment {
    bool assigns = false;
    QString name;
    QString value;
};

Assignment plainAssignment(const QString &trimmedLine)
{
    Assignment a;
    const qsizetype eq = trimmedLine.indexOf(u'=');
    if (trimmedLine.startsWith(u'#') || eq < 0)
        return a;
    a.name = trimmedLine.left(eq).trimmed();
    a.value = trimmedLine.mid(eq + 1).trimmed();
    a.assigns = !a.name.isEmpty();
    return a;
}

QStringList plainBackendEnvironment(const QByteArray &content)
{
    QStringList names;
    QMap<QString, QString> values;
    for (const QByteArray &line : content.split('\n')) {
        const Assignment a = plainAssignment(QString::fromUtf8(line).trimmed());
        if (!a.assigns || line.contains('\0'))
            continue;
        if (!values.contains(a.name))
            names.append(a.name);
        values.insert(a.name, a.value);
    }
    QStringList env;
    for (const QString &name : names)
        env.append(name + u'=' + values.value(name));
    return env;
}

QMap<QString, QString> plainPushSettings(const QByteArray &content)
{
    QMap<QString, QString> settings;
    for (const QByteArray &line : content.split('\n')) {
        Assignment a = plainAssignment(QString::fromUtf8(line.trimmed()));
        const QString &v = a.value;
        if (v.size() >= 2 && v.front() == v.back() && (v.front() == u'"' || v.front() == u'\''))
            a.value = v.mid(1, v.size() - 2);
        if (a.assigns)
            settings.insert(a.name, a.value);
    }
    return settings;
}

// A number setting: a decimal int, a sign allowed, within 0..maxValue (a
// longer run of digits overflows to a value above it).
bool plainBoundedInt(const QString &text, int maxValue, int &out)
{
    const QByteArray ascii = text.toLatin1();
    const qsizetype digits = ascii.startsWith('+') || ascii.startsWith('-') ? 1 : 0;
    if (ascii.size() == digits)
        return false;
    for (qsizetype i = digits; i < ascii.size(); ++i) {
        if (ascii[i] < '0' || ascii[i] > '9')
            return false;
    }
    const long long number = std::strtoll(ascii.constData(), nullptr, 10);
    if (number < 0 || number > maxValue)
        return false;
    out = int(number);
    return true;
}

// The file the readers open: a memory file, reached by its path.
class MemoryFile
{
public:
    explicit MemoryFile(const QByteArray &content) : m_fd(memfd_create("fuzz", 0))
    {
        fuzzCheck(m_fd >= 0 && write(m_fd, content.constData(), size_t(content.size())) == content.size(),
                  "cannot write the memory file");
    }
    ~MemoryFile() { close(m_fd); }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(m_fd); }

private:
    int m_fd;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content = fuzzInput(data, size);
    const MemoryFile file(content);

    QStringList env;
    ZunaroHeadlessService::load_env_file(env, file.path());
    fuzzCheck(env == plainBackendEnvironment(content), "the backend environment differs");

    QMap<QString, QString> settings;
    fuzzCheck(ZunaroHeadlessService::parseEnvFile(file.path(), settings), "the settings file was not read");
    fuzzCheck(settings == plainPushSettings(content), "the push settings differ");
    for (const QString &value : settings) {
        int got = -1;
        int want = -1;
        fuzzCheck(push::parseBoundedInt(value, 300000, got) == plainBoundedInt(value, 300000, want) && got == want,
                  "a number setting reads differently");
    }
    return 0;
}
