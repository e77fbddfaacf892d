// Checks the module's reading of the x86-64 extensions it dispatches on
// (primitives/cpu_x86.hpp) against the kernel's, the flags line of /proc/cpuinfo:
// a wrong CPUID bit would send the module to a slower path, or to
// instructions the processor lacks, and nothing else would notice.
#include "primitives/cpu_x86.hpp"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

int main() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("flags", 0) != 0 || line.find(':') == std::string::npos) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string word; words >> word;) flags.insert(word);
        break;
    }
    if (flags.empty()) {
        std::puts("no flags line in /proc/cpuinfo");
        return 1;
    }
    const orvane::x86::CpuFeatures& read = orvane::x86::cpu_features();
    const struct {
        const char* flag;
        bool detected;
    } checks[] = {{"aes", read.aes}, {"ssse3", read.ssse3}, {"sse4_1", read.sse4_1}, {"sha_ni", read.sha}, {"avx2", read.avx2}};
    int wrong = 0;
    for (const auto& check : checks) {
        const bool listed = flags.count(check.flag) != 0;
        std::printf("%-7s cpuinfo %-3s read %-3s%s\n", check.flag, listed ? "yes" : "no", check.detected ? "yes" : "no",
                    listed == check.detected ? "" : "  <- differs");
        wrong += listed != check.detected;
    }
    return wrong == 0 ? 0 : 1;
}
