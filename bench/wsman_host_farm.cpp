// Serves N simulated Hyper-V hosts over WS-Management, one test server (127.0.0.1, own port,
// own certificate) each, for the many-hosts benchmark: prints one line per host, "HOSTTEXT USER
// PASSWORD", then "ready", and serves until its standard input closes.
//   wsman_host_farm HOSTS VMS_PER_HOST
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "support/wsman_test_server.h"

int main(int argc, char** argv) {
    const int hosts = argc > 1 ? std::atoi(argv[1]) : 50;
    const int vms = argc > 2 ? std::atoi(argv[2]) : 20;
    if (hosts < 1 || hosts > 500 || vms < 0 || vms > 5000) {
        std::fprintf(stderr, "usage: wsman_host_farm HOSTS(1-500) VMS_PER_HOST(0-5000)\n");
        return 2;
    }
    std::vector<std::unique_ptr<hbr::WsmanTestServer>> servers;
    for (int h = 1; h <= hosts; ++h) {
        hbr::WsmanTestServerOptions o;
        o.simHost = "sim://FARM" + std::to_string(h) + "?vms=" + std::to_string(vms) +
                    "&seed=" + std::to_string(h);
        servers.push_back(std::make_unique<hbr::WsmanTestServer>(o));
        std::printf("%s %s %s\n", servers.back()->HostText("basic").c_str(), o.user.c_str(),
                    o.password.c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    for (auto& s : servers) s->Stop();
    return 0;
}
