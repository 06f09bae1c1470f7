#include "UDiskTestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

TVirtualDisk::TVirtualDisk(std::string script, std::string folder)
    : script_(std::move(script)), socket_(folder + "disk.sock"), scenario_(folder + "disk-scenario.json"),
      log_(folder + "disk-commands.log") {}

TVirtualDisk::~TVirtualDisk() {
    Stop();
}

void TVirtualDisk::SetScenario(const std::string& scenarioJson) {
    std::ofstream(scenario_, std::ios::binary | std::ios::trunc) << scenarioJson;
}

bool TVirtualDisk::Start(const std::string& scenarioJson) {
    Stop();
    SetScenario(scenarioJson);
    ClearLog();
    unlink(socket_.c_str());
    std::vector<std::string> args = {"python3",    script_,   "--socket", socket_,
                                     "--scenario", scenario_, "--log",    log_};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
        return false;
    }
    // The disk renames its socket into place once it listens.
    struct stat st;
    for (int i = 0; i < 200 && stat(socket_.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (stat(socket_.c_str(), &st) != 0) {
        Stop();
        return false;
    }
    setenv("QUILLON_EMULATOR_SOCKET", socket_.c_str(), 1);
    return true;
}

void TVirtualDisk::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        unsetenv("QUILLON_EMULATOR_SOCKET");
    }
}

std::vector<std::string> TVirtualDisk::LogLines() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

void TVirtualDisk::ClearLog() {
    std::ofstream(log_, std::ios::trunc);
}
