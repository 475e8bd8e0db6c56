#include "support/wsman_samples.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace hbr {

namespace fs = std::filesystem;

fs::path WsmanSamplesDir() {
    return fs::path(HBR_WSMAN_SAMPLES);
}

std::string WsmanSample(const std::string& number) {
    const fs::path dir = WsmanSamplesDir();
    if (!fs::is_directory(dir)) {
        ADD_FAILURE() << "the samples folder is missing: " << dir;
        return {};
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(number + "-", 0) == 0) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            return text.str();
        }
    }
    ADD_FAILURE() << "no sample " << number << " in " << dir;
    return {};
}

}  // namespace hbr
