#include "UCardTestSupport.h"

#include "UdsHexUtils.h"
#include "UdsIOUtils.h"

#include <winscard.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

// ---- TScriptedReader ----

TScriptedReader::TScriptedReader() {
    TCardReaderApi api;
    api.Open = [this] {
        ++Opens;
        return OpenResult;
    };
    api.UsbOpt = [this](const char* request, char* response) {
        Requests.emplace_back(request);
        TAnswer answer{0, Block("9000")};
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.pop_front();
        }
        std::snprintf(response, TCardReaderApi::ResponseSize, "%s", answer.Text.c_str());
        return answer.Result;
    };
    api.Close = [this] {
        ++Closes;
        if (CloseRaises)
            throw std::runtime_error("reader close failed");
    };
    previous_ = TUSBCard::SetApi(std::move(api));
}

TScriptedReader::~TScriptedReader() {
    TUSBCard::SetApi(std::move(previous_));
}

std::string TScriptedReader::Block(const std::string& data, const std::string& pcb) {
    std::string bytes;
    TdsHexUtils::HexToBytes(data, bytes);
    std::string text = "12" + pcb + TdsHexUtils::BytesToHex(std::string(1, static_cast<char>(bytes.size()))) +
                       TdsHexUtils::BytesToHex(bytes);
    return text + TdsHexUtils::XorCheck(text);
}

// ---- TCardStand ----

namespace {

using TClock = std::chrono::steady_clock;

bool PortsFree(int port) {
    for (int p : {port, port + 1}) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(p));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (!ok)
            return false;
    }
    return true;
}

int Spawn(const std::vector<std::string>& args, const std::string& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Ends the child: SIGTERM, then SIGKILL after two seconds.
void EndChild(int& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    auto until = TClock::now() + std::chrono::seconds(2);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (TClock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = -1;
}

bool Running(int pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

// The reader's state through PC/SC; false while pcscd does not answer or lacks the reader.
bool ReaderState(const std::string& reader, bool& present) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = SCardGetStatusChange(context, 0, &state, 1);
    SCardReleaseContext(context);
    if (rv != SCARD_S_SUCCESS || (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE)))
        return false;
    present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    return true;
}

} // namespace

TCardStand::TCardStand() = default;

TCardStand::~TCardStand() {
    Stop();
}

std::string TCardStand::Log() const {
    if (folder_.empty())
        return "";
    std::string pcscd, card;
    TdsIOUtils::TryReadTextFile(folder_ + "pcscd.log", pcscd);
    TdsIOUtils::TryReadTextFile(folder_ + "card.log", card);
    return "--- pcscd ---\n" + pcscd + "\n--- virtual card ---\n" + card;
}

bool TCardStand::Start(const std::string& scenario, std::string& error) {
    Stop();
    // pcscd has one client socket for the whole machine: one stand at a time.
    lockFd_ = open("/tmp/brindle-pcscd-stand.lock", O_RDWR | O_CREAT, 0666);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX) != 0) {
        error = "cannot take the pcscd stand lock";
        return false;
    }
    if (std::filesystem::exists("/run/pcscd/pcscd.pid")) {
        std::ifstream in("/run/pcscd/pcscd.pid");
        int pid = 0;
        if (in >> pid && pid > 0 && kill(pid, 0) == 0) {
            error = "another pcscd (pid " + std::to_string(pid) + ") is running";
            return false;
        }
    }
    char pattern[] = "/tmp/brindle-card-XXXXXX";
    if (!mkdtemp(pattern)) {
        error = "cannot make a temporary folder";
        return false;
    }
    folder_ = std::string(pattern) + "/";
    std::string confFolder = folder_ + "reader.conf.d/";
    TdsIOUtils::ForceFolders(confFolder);

    srand(static_cast<unsigned>(getpid() ^ time(nullptr)));
    port_ = 0;
    for (int i = 0; i < 50 && port_ == 0; ++i) {
        int candidate = 20000 + rand() % 30000;
        if (PortsFree(candidate))
            port_ = candidate;
    }
    if (port_ == 0) {
        error = "no free loopback port";
        return false;
    }
    char hexPort[16];
    std::snprintf(hexPort, sizeof hexPort, "0x%X", port_);
    std::string conf = std::string("FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME   /dev/null:") + hexPort +
                       "\nLIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID    " + hexPort +
                       "\n";
    if (!TdsIOUtils::WriteTextFile(conf, confFolder + "vpcd")) {
        error = "cannot write the reader configuration";
        return false;
    }
    std::string scenarioFile = folder_ + "scenario.json";
    if (scenario.empty())
        scenarioFile = std::string(BRINDLE_SOURCE_DIR) + "/tools/scenarios/default.json";
    else if (!TdsIOUtils::WriteTextFile(scenario, scenarioFile)) {
        error = "cannot write the scenario";
        return false;
    }

    pcscdPid_ = Spawn({"pcscd", "-f", "-c", confFolder}, folder_ + "pcscd.log");
    if (pcscdPid_ < 0) {
        error = "pcscd cannot be started (is the package pcscd installed?)";
        return false;
    }
    auto until = TClock::now() + std::chrono::seconds(10);
    bool present = false;
    while (!ReaderState(ReaderName(), present)) {
        if (!Running(pcscdPid_) || TClock::now() > until) {
            error = "pcscd did not come up with the reader \"" + ReaderName() + "\"\n" + Log();
            pcscdPid_ = Running(pcscdPid_) ? pcscdPid_ : -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    cardPid_ = Spawn({"python3", std::string(BRINDLE_SOURCE_DIR) + "/tools/virtual-card/virtual_card.py",
                      "--scenario", scenarioFile, "--port", std::to_string(port_), "--control",
                      folder_ + "card.sock"},
                     folder_ + "card.log");
    if (cardPid_ < 0 || !WaitCard(true, 10000)) {
        error = "the virtual card did not come into the reader\n" + Log();
        return false;
    }
    return true;
}

bool TCardStand::WaitCard(bool present, int timeoutMs) {
    auto until = TClock::now() + std::chrono::milliseconds(timeoutMs);
    while (TClock::now() < until) {
        bool now = false;
        if (ReaderState(ReaderName(), now) && now == present)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return false;
}

std::string TCardStand::Control(const std::string& command) {
    std::string path = folder_ + "card.sock";
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            std::string line = command + "\n";
            bool sent = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
            std::string reply;
            char c;
            while (sent && read(fd, &c, 1) == 1 && c != '\n')
                reply += c;
            close(fd);
            return sent ? reply : "error write";
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "error the virtual card's control socket does not answer";
}

void TCardStand::Stop() {
    EndChild(cardPid_);
    EndChild(pcscdPid_);
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
        folder_.clear();
    }
    if (lockFd_ >= 0) {
        flock(lockFd_, LOCK_UN);
        close(lockFd_);
        lockFd_ = -1;
    }
}
