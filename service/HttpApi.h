#pragma once
// The HTTP JSON API and its event stream, on Qt's HTTP server. Every
// request has passed the gate's checks of its head (token, role, size)
// before it comes here; a request that fails any check sends nothing to
// any endpoint. Every write is recorded in the history with who asked.
#include "service/History.h"
#include "service/Installation.h"
#include "service/Labels.h"

#include <QAbstractHttpServer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cv::service {

inline constexpr qsizetype kMaxBody = 64 * 1024;

class HttpApi : public QAbstractHttpServer {
public:
    // history: may be null (it could not be opened).
    // stateDir: never named in an answer.
    HttpApi(Installation& installation, History* history, std::string openApi, std::string stateDir,
            QObject* parent = nullptr);
    ~HttpApi() override;
    std::size_t streams() const { return streams_.size(); }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Stream {
        QPointer<QTcpSocket> socket;
        std::unique_ptr<QHttpServerResponder> responder;
    };
    using Responder = std::shared_ptr<QHttpServerResponder>;
    // The control page's own files, compiled in; nullopt for any other path.
    bool ServePage(const QHttpServerRequest& request, QTcpSocket* socket);
    void Dispatch(const QHttpServerRequest& request, const Responder& responder, const std::vector<std::string>& path,
                  const std::string& actor);
    void OpenStream(const QHttpServerRequest& request, QTcpSocket* socket);
    void Broadcast(const LoggedEvent& event);
    void Drop(QTcpSocket* socket);
    // State files that cannot be read (corrupt scenes, labels).
    std::vector<std::string> Problems() const;

    Installation& installation_;
    History* history_;
    std::string openApi_;
    int listener_ = 0;
    std::vector<Stream> streams_;
    QTimer keepAlive_;
};

}  // namespace cv::service
