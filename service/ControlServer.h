#pragma once
// The line protocol on TCP for control systems. Each connection's lines
// are answered in order; a command that waits for endpoints holds the
// lines after it until its reply has gone.
#include "service/Installation.h"
#include "service/LineProtocol.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <deque>
#include <optional>
#include <string>

namespace cv::service {

class ControlServer : public QTcpServer {
public:
    ControlServer(Installation& installation, std::optional<std::string> token, QObject* parent = nullptr);

private:
    struct Client;
    void Accepted();
    void Next(Client* client);
    void Run(Client* client, const line::Command& command);
    void Reply(Client* client, const std::string& text);
    void Done(Client* client, const std::string& text);

    Installation& installation_;
    std::optional<std::string> token_;
};

}  // namespace cv::service
