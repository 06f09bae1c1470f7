// brindle-admin http URL [--post FILE] [--header NAME=VALUE]... [--timeout MS]: a connectivity check for
// support staff through the program's own HTTP client (same proxy, trust store, client certificates and
// texts). Prints "status=", "error=", the response headers and, after an empty line, the body; exit 0 only
// for status 200. Nobody is there to answer the client's dialogs: a doubtful server certificate and a
// proxy login are declined, which shows as the matching error text.
#include "admin/UAdminCommand.h"

#include "UdsHTTP.h"
#include "UdsIOUtils.h"

#include <cstdio>
#include <iostream>

namespace {

int Http(const std::vector<std::string>& args) {
    std::string url, postFile, headers;
    bool post = false;
    long long timeout = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--post" || arg == "--header" || arg == "--timeout") {
            if (i + 1 >= args.size())
                return AdminUsage("http");
            const std::string& value = args[++i];
            if (arg == "--post") {
                post = true;
                postFile = value;
            } else if (arg == "--header") {
                size_t eq = value.find('=');
                if (eq == std::string::npos || eq == 0)
                    return AdminUsage("http");
                // Written with a colon, so "=" inside values survives the client's header rules.
                if (!headers.empty())
                    headers += "\r\n";
                headers += value.substr(0, eq) + ": " + value.substr(eq + 1);
            } else if (!TdsStrUtils::TryStrToInt(value, timeout) || timeout <= 0 || timeout > 86400000) {
                return AdminUsage("http");
            }
        } else if (arg.compare(0, 2, "--") == 0 || !url.empty()) {
            return AdminUsage("http");
        } else {
            url = arg;
        }
    }
    if (url.empty())
        return AdminUsage("http");

    std::string body;
    if (post && !TdsIOUtils::TryReadTextFile(postFile, body))
        return AdminFail("cannot read " + postFile);

    std::string server, path;
    SplitURL(url, server, path);
    TdsHTTP http;
    if (timeout > 0)
        http.Timeout = static_cast<int>(timeout);
    std::string error;
    bool ok = http.SendHttpRequest(nullptr, server, error, body, "", headers, post, path);

    std::cout << "status=" << http.StatusCode << "\n"
              << "error=" << error << "\n";
    for (const auto& line : http.ResponseHeaders.Items)
        std::cout << line << "\n";
    std::cout << "\n";
    std::cout.write(http.ResponseBody.data(), static_cast<std::streamsize>(http.ResponseBody.size()));
    std::cout.flush();
    return ok ? aeOK : aeFailed;
}

TAdminRegistrar registrar("http", "URL [--post FILE] [--header NAME=VALUE]... [--timeout MS]", Http);

} // namespace
