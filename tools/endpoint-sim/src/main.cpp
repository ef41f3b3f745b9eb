#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Server.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    esim::SimConfig cfg;
    std::string err = esim::parseArgs(args, cfg);
    if (!err.empty()) {
        std::fprintf(stderr, "endpoint-sim: %s\n(see --help)\n", err.c_str());
        return 2;
    }
    if (cfg.help) {
        std::fputs(esim::usageText().c_str(), stdout);
        return 0;
    }
    esim::Server server(std::move(cfg));
    err = server.setup();
    if (!err.empty()) {
        std::fprintf(stderr, "endpoint-sim: %s\n", err.c_str());
        return 1;
    }
    return server.run();
}
