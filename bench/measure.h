#pragma once
// CPU time and resident memory as the benchmarks report them.
#include <ctime>
#include <fstream>
#include <string>

namespace bench {

inline double CpuMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}
inline double ThreadCpuMs() {
    return CpuMs(CLOCK_THREAD_CPUTIME_ID);
}
inline double ProcessCpuMs() {
    return CpuMs(CLOCK_PROCESS_CPUTIME_ID);
}

inline long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace bench
