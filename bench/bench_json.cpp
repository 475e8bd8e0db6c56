// Parse throughput of the JSON reader over the texts the system reads: request bodies the size
// of a login or a role edit, a console connect message, and a 1 MB VM list. Side by side with
// nlohmann-json when it is installed. Prints figures; asserts nothing.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "store/json.h"

#ifdef HBR_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif

namespace {

struct Sample {
    const char* name;
    std::string text;
};

std::string VmList(std::size_t targetBytes) {
    std::string out = "{\"vms\":[";
    for (int i = 0; out.size() < targetBytes; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "%08X-1F2E-4D3C-8B7A-%012X", i * 2654435761u, i);
        out += std::string(i ? "," : "") + "{\"id\":\"" + id + "\",\"name\":\"vm-" +
               std::to_string(i) + " \\u00e9t\\u00e9 \\\"q\\\"\",\"state\":\"" +
               std::to_string(i % 3 ? 2 : 99999) + "\",\"cpu\":" + std::to_string(i % 100) +
               ",\"memory\":" + std::to_string(1024 + i * 16) +
               ",\"uptime\":\"3.04:05:06\",\"status\":[\"Operating normally\"],\"server\":" +
               std::to_string(i % 10) +
               ",\"heartbeat\":null,\"replicated\":" + (i % 7 ? "false" : "true") +
               ",\"load\":" + std::to_string(i % 13) + ".25e-1}";
    }
    return out + "]}";
}

std::vector<Sample> Samples() {
    std::vector<Sample> s;
    s.push_back({"login", R"({"usr":"administrator","pwd":"correct horse battery staple"})"});
    s.push_back(
        {"role edit",
         R"({"id":7,"name":"Operators","claims":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,)"
         R"(15,16,17,18,19,20,21,22],"vms":["6F1D0C5E-1111-4A2B-9C3D-0123456789AB",)"
         R"("6F1D0C5E-2222-4A2B-9C3D-0123456789AB","6F1D0C5E-3333-4A2B-9C3D-0123456789AB"],)"
         R"("disabled":false,"notes":"night shift \u2013 lab hosts"})"});
    s.push_back({"console connect",
                 R"({"vmid":"6F1D0C5E-1111-4A2B-9C3D-0123456789AB","server":3,"width":1920,)"
                 R"("height":1080,"pcb":"6F1D0C5E-1111-4A2B-9C3D-0123456789AB"})"});
    s.push_back({"1 MB VM list", VmList(1 << 20)});
    return s;
}

template <typename Parse>
double MegabytesPerSecond(const std::string& text, Parse parse) {
    using clock = std::chrono::steady_clock;
    // Enough repetitions for about 64 MB of input, at least 20 000 for the small texts.
    const std::size_t reps =
        std::max<std::size_t>(20000 * (text.size() < 4096), (64u << 20) / text.size());
    std::size_t sink = 0;
    const auto start = clock::now();
    for (std::size_t i = 0; i < reps; ++i) sink += parse(text);
    const double seconds = std::chrono::duration<double>(clock::now() - start).count();
    if (sink == 0) std::fprintf(stderr, "  (nothing parsed)\n");
    return static_cast<double>(text.size()) * reps / seconds / 1e6;
}

std::size_t ParseOurs(const std::string& text) {
    hbr::JsonDocument doc;
    return hbr::ParseJson(text, doc) ? doc.Root().Size() : 0;
}

#ifdef HBR_HAVE_NLOHMANN
std::size_t ParseNlohmann(const std::string& text) {
    return nlohmann::json::parse(text).size();
}
#endif

}  // namespace

int main() {
    std::printf("%-16s %10s %12s", "text", "bytes", "hbr MB/s");
#ifdef HBR_HAVE_NLOHMANN
    std::printf(" %14s %7s", "nlohmann MB/s", "ratio");
#endif
    std::printf("\n");
    for (const auto& s : Samples()) {
        const double ours = MegabytesPerSecond(s.text, ParseOurs);
        std::printf("%-16s %10zu %12.0f", s.name, s.text.size(), ours);
#ifdef HBR_HAVE_NLOHMANN
        const double theirs = MegabytesPerSecond(s.text, ParseNlohmann);
        std::printf(" %14.0f %7.1f", theirs, ours / theirs);
#endif
        std::printf("\n");
    }
    return 0;
}
