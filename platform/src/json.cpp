#include "zunaro/json.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {
constexpr char kByteOrderMark[] = "\xef\xbb\xbf";
} // namespace

namespace zplatform {

QJsonDocument readJson(const QByteArray &text, QJsonParseError *error)
{
    // Only the character right after an opening quote is lost. Written as
    // an escape after any quote it means what it meant: the first character
    // of a string, one after an escaped quote, or, after a closing quote, no
    // JSON either way.
    const QByteArray lost = QByteArray(1, '"') + kByteOrderMark;
    if (!text.contains(lost))
        return QJsonDocument::fromJson(text, error);
    return QJsonDocument::fromJson(QByteArray(text).replace(lost, "\"\\ufeff"), error);
}

} // namespace zplatform
