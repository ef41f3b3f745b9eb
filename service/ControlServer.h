#pragma once
// The line protocol on TCP for control systems. Each connection's lines
// are answered in order; a command that waits for endpoints holds the
// lines after it until its reply has gone.
#include "service/Admission.h"
#include "service/History.h"
#include "service/Installation.h"
#include "service/LineProtocol.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cv::service {

class ControlServer : public QTcpServer {
public:
    using Lookup = std::function<std::optional<Identity>(std::string_view token)>;
    // lookup: who a token of `auth` is. anonymous: the role of a client
    // that has not sent one (None: it must). history: may be null.
    ControlServer(Installation& installation, Lookup lookup, Role anonymous, History* history,
                  QObject* parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    // Kept alive by its socket's connections and by every pending reply,
    // so that closing it never pulls it from under a handler.
    struct Client;
    using ClientPtr = std::shared_ptr<Client>;
    void Accepted();
    void Received(const ClientPtr& client);
    void Next(const ClientPtr& client);
    void Run(const ClientPtr& client, const line::Command& command);
    void Reply(const ClientPtr& client, const std::string& text);
    void Done(const ClientPtr& client, const std::string& text);
    // Drops the one client: no more lines are read or answered.
    void Close(const ClientPtr& client);
    void Idle(const ClientPtr& client);

    Installation& installation_;
    Lookup lookup_;
    Role anonymous_;
    History* history_;
    Admission admission_;
};

}  // namespace cv::service
