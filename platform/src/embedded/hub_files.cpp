// The Hub and the dialog of the embedded platform, kept as files under
// <device root>/platform so the user, the demo and the tests can see them.

#include "embedded/hub_files.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "embedded/control_request.h"
#include "files.h"
#include "embedded/invocations_file.h"
#include "zunaro/device.h"
#include "zunaro/json.h"

namespace zplatform {

namespace {
constexpr qsizetype kMaxEntryBytes = 1024 * 1024;

QString hubDir()
{
    return platformDir() + QStringLiteral("/hub");
}

QString journalPath()
{
    return hubDir() + QStringLiteral("/journal.jsonl");
}

QString dialogPath()
{
    return platformDir() + QStringLiteral("/dialog.json");
}

bool validKey(const QString &key)
{
    // The key names a file: keep it to a plain file name.
    if (key.isEmpty() || key == QLatin1String(".") || key == QLatin1String(".."))
        return false;
    return !key.contains(QLatin1Char('/')) && !key.contains(QChar(0));
}

QString entryPath(const QString &key)
{
    return hubDir() + QLatin1Char('/') + key + QStringLiteral(".json");
}

void journal(const QString &op, QJsonObject fields)
{
    fields.insert(QStringLiteral("op"), op);
    fields.insert(QStringLiteral("at_ms"), double(nowMs()));
    appendJsonLine(journalPath(), fields);
}

QJsonObject entryToJson(const HubEntry &entry)
{
    QJsonObject o;
    o.insert(QStringLiteral("key"), entry.key);
    o.insert(QStringLiteral("type"), entry.type);
    o.insert(QStringLiteral("title"), entry.title);
    o.insert(QStringLiteral("body"), entry.body);
    o.insert(QStringLiteral("timestamp_ms"), double(entry.timestampMs));
    o.insert(QStringLiteral("invoke"), entry.hasInvokeRequest ? QJsonValue(invokeRequestToJson(entry.invokeRequest))
                                                             : QJsonValue(QJsonValue::Null));
    return o;
}

QJsonObject dialogToJson(const DialogContent &dialog)
{
    QJsonArray buttons;
    for (const DialogButton &button : dialog.buttons) {
        QJsonObject b;
        b.insert(QStringLiteral("label"), button.label);
        b.insert(QStringLiteral("invoke"), invokeRequestToJson(button.request));
        buttons.append(b);
    }
    QJsonObject o;
    o.insert(QStringLiteral("title"), dialog.title);
    o.insert(QStringLiteral("body"), dialog.body);
    o.insert(QStringLiteral("repeat"), dialog.repeat);
    o.insert(QStringLiteral("buttons"), buttons);
    return o;
}

class HubFiles : public HubCarrier
{
public:
    bool post(const HubEntry &entry) override
    {
        if (!validKey(entry.key))
            return false;
        const QJsonObject o = entryToJson(entry);
        if (!writeFileAtomically(entryPath(entry.key), QJsonDocument(o).toJson(QJsonDocument::Compact), Folder::Create))
            return false;
        journal(QStringLiteral("post"), o);
        return true;
    }

    bool remove(const QString &key) override
    {
        if (!validKey(key))
            return false;
        QFile::remove(entryPath(key));
        QJsonObject o;
        o.insert(QStringLiteral("key"), key);
        journal(QStringLiteral("delete"), o);
        return true;
    }

    bool entryRequest(const QString &key, bb::system::InvokeRequest *request, QString *error) override
    {
        QByteArray content;
        if (!validKey(key) || readSmallFile(entryPath(key), kMaxEntryBytes, &content) != SmallFile::Read) {
            *error = QStringLiteral("no such hub entry");
            return false;
        }
        const QJsonValue invoke = readJson(content).object().value(QStringLiteral("invoke"));
        if (!invoke.isObject() || !invokeRequestFromJson(invoke.toObject(), request, error)) {
            *error = QStringLiteral("hub entry carries no invoke request");
            return false;
        }
        return true;
    }

protected:
    bool putDialog(quint64, const DialogContent &dialog) override
    {
        const QJsonObject o = dialogToJson(dialog);
        if (!writeFileAtomically(dialogPath(), QJsonDocument(o).toJson(QJsonDocument::Compact), Folder::Create))
            return false;
        journal(QStringLiteral("dialog_show"), o);
        return true;
    }

    void takeDialogOff(const QString &pressedButton) override
    {
        QFile::remove(dialogPath());
        QJsonObject o;
        if (!pressedButton.isEmpty())
            o.insert(QStringLiteral("button"), pressedButton);
        journal(QStringLiteral("dialog_cancel"), o);
    }
};
} // namespace

std::unique_ptr<HubCarrier> makeHubFilesCarrier()
{
    return std::make_unique<HubFiles>();
}

} // namespace zplatform
