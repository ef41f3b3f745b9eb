// One figure of cortaviad on MQTT, run by hand inside the test LAN: a
// receiver's source published on its set topic to its new source published
// by the service (the receiver has read it back by then), one at a time
// over a hundred receivers, with Debian's mosquitto on loopback.
//
//   scripts/testlan.sh -- build/release/bench/service/cv_mqtt_bench [commands]
#include "SimProcess.h"
#include "tests/service/MqttClient.h"
#include "tests/service/ServiceClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <filesystem>
#include <iostream>

using namespace cv::service_test;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int commands = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    constexpr int kReceivers = 100;
    cv::sim::SimProcess sim({"--tx", "2", "--rx", std::to_string(kReceivers)});
    if (!sim.start()) {
        std::cerr << "simulator: " << sim.error() << "\n";
        return 1;
    }
    const auto dir = std::filesystem::temp_directory_path() / ("cv-mqtt-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Broker broker((dir / "broker").string());
    MqttClient ha(broker.port(), {"cortavia/#"});
    Daemon daemon((dir / "state").string(), {"--mqtt", broker.url(), "--site", "bench"});
    Client client;
    if (!WaitFor([&] {
            const Reply r = client.Get("/api/v1/health");
            return Ready(r) && r.body.value("devices", 0) == kReceivers + 2;
        })) {
        std::cerr << "the service never found the fleet\n";
        return 1;
    }
    std::vector<std::string> ids;
    for (const auto& d : client.Get("/api/v1/devices").body)
        if (d["kind"] == "rx") {
            std::string id = d["mac"];
            std::erase(id, ':');
            ids.push_back(id);
        }
    for (const auto& id : ids)
        if (!WaitFor([&] { return ha.Last("cortavia/bench/rx/" + id + "/source").has_value(); })) {
            std::cerr << "no state for " << id << "\n";
            return 1;
        }
    std::vector<double> ms;
    for (int i = 0; i < commands; ++i) {
        const std::string topic = "cortavia/bench/rx/" + ids[i % ids.size()];
        const std::string to = ha.Last(topic + "/source") == "tx-001" ? "tx-002" : "tx-001";
        QElapsedTimer t;
        t.start();
        ha.Publish(topic + "/set", to);
        if (!ha.WaitLast(topic + "/source", to, 10000)) {
            std::cerr << "no state after 10 s on " << topic << "\n";
            return 1;
        }
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    std::cout << "MQTT command to state published, " << commands << " commands over " << ids.size()
              << " receivers: p50 " << at(0.50) << " ms, p99 " << at(0.99) << " ms, max " << ms.back() << " ms\n";
    std::filesystem::remove_all(dir);
    return 0;
}
