// The control socket's request parser: a line that is not a JSON object is refused with a reason; a request it takes,
// written out again, is taken the same way; every answer is one line of JSON saying whether it worked.

#include <QJsonDocument>
#include <QJsonObject>

#include "embedded/control_request.h"
#include "fuzz_check.h"

namespace {
using zplatform::ControlRequest;

QByteArray written(const ControlRequest &r)
{
    QJsonObject invoke {{QStringLiteral("action"), r.invoke.action()}};
    for (const auto &[field, value] : {std::pair {"target", r.invoke.target()}, {"uri", r.invoke.uri().toString()},
                                       {"mime", r.invoke.mimeType()}}) {
        if (!value.isEmpty())
            invoke.insert(QLatin1String(field), value);
    }
    QJsonObject o;
    const auto put = [&o](const char *name, const QJsonValue &value) { o.insert(QLatin1String(name), value); };
    switch (r.kind) {
    case ControlRequest::Invoke: put("invoke", invoke); break;
    case ControlRequest::Online: put("online", r.online); break;
    case ControlRequest::DialogButton: put("dialog_button", r.name); break;
    case ControlRequest::HubSelect: put("hub_select", r.name); break;
    case ControlRequest::Status: put("status", true); break;
    case ControlRequest::Invalid: break;
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool same(const ControlRequest &a, const ControlRequest &b)
{
    return a.kind == b.kind && a.online == b.online && a.name == b.name && a.invoke.action() == b.invoke.action()
        && a.invoke.target() == b.invoke.target() && a.invoke.uri() == b.invoke.uri()
        && a.invoke.mimeType() == b.invoke.mimeType();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line = fuzzInput(data, size);
    const ControlRequest request = zplatform::parseControlRequest(line);
    const bool taken = request.kind != ControlRequest::Invalid;
    fuzzCheck(taken == request.error.isEmpty(), "a refusal without a reason, or a reason for a request taken");
    if (!line.trimmed().startsWith('{') && !line.startsWith("\xef\xbb\xbf"))
        fuzzCheck(!taken, "a line that is no JSON object was taken");
    if (taken)
        fuzzCheck(same(zplatform::parseControlRequest(written(request)), request), "a request written out reads differently");

    const QByteArray reply = zplatform::controlReply(request.error);
    const QJsonObject answer = QJsonDocument::fromJson(reply).object();
    fuzzCheck(reply.endsWith('\n') && reply.count('\n') == 1 && answer.value(QStringLiteral("ok")).toBool() == taken
                  && answer.value(QStringLiteral("error")).toString() == request.error,
              "the answer does not say what happened");
    return 0;
}
