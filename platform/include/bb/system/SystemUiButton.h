#pragma once

#include <QObject>
#include <QString>

namespace bb {
namespace system {

// What pressing a button means to the dialog it is on.
struct SystemUiResult {
    enum Type { ConfirmButtonSelection = 1, CancelButtonSelection = 2, CustomButtonSelection = 3 };
};

class SystemUiButton : public QObject
{
    Q_OBJECT
public:
    explicit SystemUiButton(const QString &label = QString(), QObject *parent = nullptr);
    QString label() const { return m_label; }
    void setLabel(const QString &label) { m_label = label; }

private:
    QString m_label;
};

} // namespace system
} // namespace bb
