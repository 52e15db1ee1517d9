#pragma once
// The device's online state, as the service sees it.

#include <QObject>

namespace zplatform {

class NetworkConfigurationManager : public QObject
{
    Q_OBJECT
public:
    explicit NetworkConfigurationManager(QObject *parent = nullptr);
    ~NetworkConfigurationManager() override;

    bool isOnline() const;

signals:
    void onlineStateChanged(bool isOnline);
};

} // namespace zplatform
