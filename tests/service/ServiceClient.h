#pragma once
// Talking to a running cortaviad as its clients do: HTTP through Qt's
// network access manager, the program itself as a child process.
#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cv::service_test {

using Json = nlohmann::ordered_json;

// Bounds for "it never comes", wide for a sanitizer build on a loaded machine.
constexpr int kNever = 60000;

struct Reply {
    int status = 0;
    Json body;
    std::string text;
};

inline bool Ready(const Reply& r) { return r.status == 200 && r.body.is_object() && r.body.value("ready", false); }

inline bool WaitFor(const std::function<bool()>& done, int ms = kNever)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class Daemon {
public:
    // environment: added to the service's; descriptors: its RLIMIT_NOFILE (soft and hard), 0 for ours.
    Daemon(std::string stateDir, std::vector<std::string> extra = {},
           std::vector<std::pair<QString, QString>> environment = {}, rlim_t descriptors = 0)
        : stateDir_(std::move(stateDir))
    {
        if (!environment.empty()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const auto& [k, v] : environment)
                env.insert(k, v);
            process_.setProcessEnvironment(env);
        }
        if (descriptors)
            process_.setChildProcessModifier([descriptors] {
                const rlimit limit{descriptors, descriptors};
                ::setrlimit(RLIMIT_NOFILE, &limit);
            });
        QStringList args{"--state-dir", QString::fromStdString(stateDir_)};
        // A quick poll unless the caller picks one.
        if (std::find(extra.begin(), extra.end(), "--poll") == extra.end())
            args << "--poll"
                 << "1";
        for (const auto& a : extra)
            args << QString::fromStdString(a);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(CV_CORTAVIAD_PATH, args);
    }
    ~Daemon()
    {
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
    }
    QProcess& process() { return process_; }

private:
    std::string stateDir_;
    QProcess process_;
};

// `cortaviad token add NAME --role ROLE`: the token (its first line).
inline std::string AddToken(const std::string& stateDir, const std::string& name, const std::string& role)
{
    QProcess p;
    p.start(CV_CORTAVIAD_PATH,
            {"token", "add", QString::fromStdString(name), "--role", QString::fromStdString(role), "--state-dir",
             QString::fromStdString(stateDir)});
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return {};
    return p.readAllStandardOutput().split('\n').value(0).toStdString();
}

class Client {
public:
    explicit Client(std::string base = "http://127.0.0.1:8470") : base_(std::move(base)) { }
    std::optional<std::string> token;

    Reply Call(const QByteArray& method, const std::string& path, const std::string& body = {})
    {
        QNetworkRequest request(QUrl(QString::fromStdString(base_ + path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (token)
            request.setRawHeader("Authorization", QByteArray::fromStdString("Bearer " + *token));
        QNetworkReply* reply = net_.sendCustomRequest(request, method, QByteArray::fromStdString(body));
        WaitFor([&] { return reply->isFinished(); });
        Reply r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.text = reply->readAll().toStdString();
        r.body = Json::parse(r.text, nullptr, false);
        reply->deleteLater();
        return r;
    }
    Reply Get(const std::string& path) { return Call("GET", path); }

    // The event stream, kept open; text() holds all that came.
    QNetworkReply* Stream(const std::string& path = "/api/v1/events")
    {
        QNetworkRequest request(QUrl(QString::fromStdString(base_ + path)));
        if (token)
            request.setRawHeader("Authorization", QByteArray::fromStdString("Bearer " + *token));
        return net_.get(request);
    }

private:
    std::string base_;
    QNetworkAccessManager net_;
};

}  // namespace cv::service_test
