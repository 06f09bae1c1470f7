// The declaration run of the tax data transfer library against the virtual disk, for marrowgate_bench.sh.
//   marrowgate_bench bs FILE   writes the VTD file; prints result, seconds, bytes and the peak resident size
//   marrowgate_bench raw N     reads N a5 records with single commands (the disk's own cost, no file)
#include "Marrowgate.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long PeakKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    std::string mode = argv[1];
    auto start = std::chrono::steady_clock::now();
    if (mode == "bs") {
        int32_t result = BSUsbDataToVtdXmlFile(argv[2]);
        double seconds = Seconds(start);
        struct stat info {};
        stat(argv[2], &info);
        std::printf("result=%d seconds=%.6f bytes=%lld peak_kb=%ld\n", result, seconds,
                    static_cast<long long>(info.st_size), PeakKb());
        return result == 1 ? 0 : 1;
    }
    if (mode == "raw") {
        long count = std::atol(argv[2]);
        if (OperateUsbDevice(1) != 1)
            return 1;
        std::vector<uint8_t> buffer(2057);
        for (long i = 0; i < count; ++i)
            if (RunExternUsbOrder("FCFFCCBC53E1A5", "", buffer.data(), 2057, 0) != 1)
                return 1;
        OperateUsbDevice(0);
        std::printf("seconds=%.6f peak_kb=%ld\n", Seconds(start), PeakKb());
        return 0;
    }
    return 2;
}
