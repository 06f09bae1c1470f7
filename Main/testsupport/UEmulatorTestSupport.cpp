#include "UEmulatorTestSupport.h"

#include "UdsClock.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef BRINDLE_SOURCE_DIR
#error BRINDLE_SOURCE_DIR must name the source tree
#endif

namespace {

std::string ReadAll(const std::string& file) {
    std::string text;
    TdsIOUtils::TryReadTextFile(file, text);
    return text;
}

bool WriteAll(const std::string& file, const std::string& text) {
    return TdsIOUtils::WriteTextFile(text, file);
}

void SleepMs(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

} // namespace

TdsJSONValue TPlatformEmulator::Merge(const TdsJSONValue& a, const TdsJSONValue& b) {
    if (a.Kind() != TdsJSONValue::jkObject || b.Kind() != TdsJSONValue::jkObject)
        return b;
    TdsJSONValue out = a;
    for (const auto& [key, value] : b.Members()) {
        const TdsJSONValue* old = a.Find(key);
        out.Set(key, old ? Merge(*old, value) : value);
    }
    return out;
}

TPlatformEmulator::TPlatformEmulator(const std::string& folder, const std::string& overrides,
                                     const std::vector<std::string>& extraArguments)
    : folder_(folder), scenario_(folder + "scenario.json"), portFile_(folder + "port"),
      log_(folder + "requests.jsonl") {
    const std::string source = BRINDLE_SOURCE_DIR;
    TdsIOUtils::ForceFolders(folder_);
    std::string defaults = ReadAll(source + "/tools/scenarios/default.json");
    if (defaults.empty())
        throw EdsError("cannot read the default scenario");
    scenarioValue_ = Merge(TdsJSONValue::Parse(defaults), TdsJSONValue::Parse(overrides));
    if (!WriteAll(scenario_, scenarioValue_.ToString()))
        throw EdsError("cannot write " + scenario_);
    std::remove(portFile_.c_str());
    std::remove(log_.c_str());

    std::vector<std::string> argv = {"python3",       source + "/tools/platform-emulator/emulator.py",
                                     "--scenario",    scenario_,
                                     "--port",        "0",
                                     "--port-file",   portFile_,
                                     "--log",         log_,
                                     "--max-seconds", "300"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    pid_ = fork();
    if (pid_ == 0) {
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        // Its "PORT n" line is not needed: the port file says the same.
        FILE* null = freopen("/dev/null", "w", stdout);
        (void)null;
        execvp(args[0], args.data());
        _exit(127);
    }
    for (int i = 0; i < 200 && port_ == 0; ++i) {
        long long code = 0;
        std::string text = TdsStrUtils::Trim(ReadAll(portFile_));
        if (!text.empty() && TdsStrUtils::TryStrToInt(text, code))
            port_ = static_cast<int>(code);
        else if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        } else
            SleepMs(50);
    }
    if (port_ == 0) {
        Stop();
        throw EdsError("the platform emulator did not start");
    }
}

TPlatformEmulator::~TPlatformEmulator() {
    Stop();
}

void TPlatformEmulator::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::vector<TdsJSONValue> TPlatformEmulator::Requests() const {
    std::vector<TdsJSONValue> out;
    std::vector<std::string> lines;
    TdsStrUtils::SplitText(ReadAll(log_), "\n", false, lines);
    for (const std::string& line : lines)
        if (!TdsStrUtils::Trim(line).empty())
            out.push_back(TdsJSONValue::Parse(line));
    return out;
}

std::vector<TdsJSONValue> TPlatformEmulator::Requests(const std::string& name) const {
    std::vector<TdsJSONValue> out;
    for (TdsJSONValue& r : Requests())
        if (Text(r, "name") == name)
            out.push_back(std::move(r));
    return out;
}

std::vector<std::pair<std::string, std::string>> TPlatformEmulator::Headers(const TdsJSONValue& request) {
    std::vector<std::pair<std::string, std::string>> out;
    if (const TdsJSONValue* h = request.Find("headers"))
        for (const TdsJSONValue& pair : h->Items())
            if (pair.Items().size() == 2)
                out.emplace_back(pair.Items()[0].Text(), pair.Items()[1].Text());
    return out;
}

std::vector<std::string> TPlatformEmulator::Values(const TdsJSONValue& request, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& [key, value] : Headers(request))
        if (TdsStrUtils::SameText(key, name))
            out.push_back(value);
    return out;
}

std::string TPlatformEmulator::Value(const TdsJSONValue& request, const std::string& name) {
    auto v = Values(request, name);
    return v.empty() ? "<none>" : v.front();
}

std::string TPlatformEmulator::Text(const TdsJSONValue& value, const std::string& path) {
    std::vector<std::string> parts;
    TdsStrUtils::SplitText(path, "/", false, parts);
    const TdsJSONValue* v = &value;
    for (const std::string& p : parts) {
        v = v->Find(p);
        if (!v)
            return "";
    }
    return v->Kind() == TdsJSONValue::jkString ? v->Text() : "";
}

TdsJSONValue TPlatformEmulator::Control(const std::string& json) const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        throw EdsError("cannot reach the platform emulator");
    }
    std::string request = "POST /__control HTTP/1.1\r\nHost: " + Address() +
                          "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
                          std::to_string(json.size()) + "\r\n\r\n" + json;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, 0);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    size_t body = answer.find("\r\n\r\n");
    if (answer.compare(0, 12, "HTTP/1.0 200") != 0 && answer.compare(0, 12, "HTTP/1.1 200") != 0)
        throw EdsError("control request failed: " + answer.substr(0, answer.find("\r\n")));
    return TdsJSONValue::Parse(body == std::string::npos ? "" : answer.substr(body + 4));
}
