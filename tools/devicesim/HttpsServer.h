#pragma once

#include "DeviceCore.h"

#include <QSslConfiguration>
#include <QTcpServer>

#include <set>

namespace devicesim {

class Connection;

// The device's HTTPS side on the server thread: each connection answered in order, and the
// faults that refuse TLS altogether.
class Listener : public QTcpServer {
public:
    Listener(DeviceCore *core, QSslConfiguration config);
    ~Listener() override;

    void closeAll();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    // Answers without TLS: whatever the client's hello says, it gets this back.
    void refuse(qintptr descriptor, Fault how);

    DeviceCore *core_;
    QSslConfiguration config_;
    std::set<Connection *> connections_;
};

} // namespace devicesim
