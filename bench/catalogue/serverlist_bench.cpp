// Parses one server-list file repeatedly and prints the median CPU seconds per parse (CPU time,
// not wall time: the build machines are shared, and the python reference is measured the same way).
// usage: bench_catalogue_parse <serverlist.xml> [runs]
#include "app/catalogue/PexXmlParser.h"
#include "platform/Defaults.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

static double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <serverlist.xml> [runs]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::min(1000, std::atoi(argv[2]))) : 20;
    const std::string prefsPath = "/tmp/tavro-bench-defaults-" + std::to_string(::getpid()) + ".json";
    platform::Defaults prefs(prefsPath);
    prefs.setString("serverAddress", "seeded"); // measure parsing, not preference writes
    PexXmlParser::preferences = &prefs;
    PexXmlParser::traceOutput = false;

    std::vector<double> times;
    size_t servers = 0;
    for (int i = 0; i < runs; ++i) {
        PexXmlParser::clearCatalogue();
        const double start = cpuSeconds();
        const bool ok = extParser.parseFile(argv[1]);
        const double stop = cpuSeconds();
        if (!ok) {
            std::fprintf(stderr, "parse failed\n");
            return 1;
        }
        servers = PexXmlParser::_serverList.size() + PexXmlParser::_OCserverList.size();
        times.push_back(stop - start);
    }
    ::unlink(prefsPath.c_str());
    std::sort(times.begin(), times.end());
    std::printf("%.6f %zu\n", times[times.size() / 2], servers);
    return 0;
}
