// Runs TdsDownloader once; the script downloader_bench.sh runs it beside curl and aria2c.
//   downloader_bench fetch URL FOLDER THREADS     downloads (resuming whatever state FOLDER holds)
//   downloader_bench partial URL FOLDER THREADS   downloads until about half is stored, then cancels
// Each prints one line "seconds=S bytes=B percent=P ok=0|1".
#include "UTestSupport.h"
#include "dsDownloader.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s fetch|partial URL FOLDER THREADS\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    TSilentBusyForm busy;
    TdsDownloader d;
    d.URL = argv[2];
    d.Folder = argv[3];
    d.ThreadCount = std::atoi(argv[4]);
    d.ShowProgress = false;
    d.BusyForm = &busy;
    if (mode == "partial")
        d.OnDownloadProgress = [&busy](int percent) {
            if (percent >= 40)
                busy.Press();
        };
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = d.Execute();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("seconds=%.6f bytes=%lld percent=%d ok=%d\n", seconds, static_cast<long long>(d.DownloadSize),
                d.Percent, ok ? 1 : 0);
    return mode == "partial" || (ok && d.Percent == 100) ? 0 : 1;
}
