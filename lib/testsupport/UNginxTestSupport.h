#pragma once
// A real nginx on a free loopback port for download tests, started as a non-daemon child with a
// configuration of its own (pid, logs and temporary paths in a temporary folder). It serves the folder
// given at construction:
//   /files/NAME         the file with byte ranges
//   /noranges/NAME      the same file, ranges ignored (always 200 with the whole file)
//   /slow/NAME          the file with ranges, sent at the rate limit given (0: unlimited); nginx
//                       sends the first second's worth of each answer at once
//   /redirect/NAME      302 to "/files/NAME" (a relative Location)
//   /redirectq/NAME     302 to "http://127.0.0.1:PORT/get?name=NAME" (served with ranges and a
//                       Content-Disposition naming NAME)
//   /page/NAME          a text/html page whose body is the address "…/protected/NAME"
//   /protected/NAME     the file, 403 unless the Referer is exactly that address
// Every request goes to the access log as "METHOD URI STATUS BYTES "RANGE" "REFERER"".
#include <string>
#include <sys/types.h>
#include <vector>

#include "UTestSupport.h"

class TNginxServer {
public:
    explicit TNginxServer(const std::string& servedFolder, long rateLimitBytesPerSecond = 0);
    ~TNginxServer();
    TNginxServer(const TNginxServer&) = delete;
    TNginxServer& operator=(const TNginxServer&) = delete;

    // Whether nginx could be found and started.
    bool Running() const { return pid_ > 0; }
    const std::string& StartError() const { return error_; }
    // Stops and starts again on the same port (the access log is kept).
    void Stop();
    bool Start();

    int Port() const { return port_; }
    // "http://127.0.0.1:PORT"
    std::string Address() const;
    std::vector<std::string> AccessLines() const;
    void ClearAccessLog();

    struct TRequest {
        std::string Method, URI, Range, Referer;
        int Status = 0;
        long long Bytes = 0;
    };
    std::vector<TRequest> Requests() const;

private:
    void WriteConfig();

    TTempFolder work_;
    std::string served_;
    long rate_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};
