#pragma once
// Starts one of the loopback test servers (httptestserver.py beside this file) for a test and stops it
// again: the server prints "PORT n" once it listens; the destructor ends it.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#ifndef BRINDLE_SOURCE_DIR
#error BRINDLE_SOURCE_DIR must name the source tree
#endif

class TTestServerProcess {
public:
    explicit TTestServerProcess(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {"python3", std::string(BRINDLE_SOURCE_DIR) +
                                                        "/tools/testservers/httptestserver.py"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int fds[2];
        if (pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        pollfd p{fds[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            char buffer[64];
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            line.append(buffer, static_cast<size_t>(n));
        }
        close(fds[0]);
        if (line.compare(0, 5, "PORT ") != 0) {
            Stop();
            throw std::runtime_error("test server did not start: " + line);
        }
        port_ = std::stoi(line.substr(5));
    }
    ~TTestServerProcess() { Stop(); }
    TTestServerProcess(const TTestServerProcess&) = delete;
    TTestServerProcess& operator=(const TTestServerProcess&) = delete;

    int Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    pid_t pid_ = -1;
    int port_ = 0;
};

// Binds a loopback socket to a free port below 10000 (server addresses allow four port digits).
inline int BindLowLoopbackPort(int fd) {
    static unsigned seed = static_cast<unsigned>(getpid());
    for (int attempt = 0; attempt < 500; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        int port = 2000 + static_cast<int>((seed >> 8) % 8000);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return port;
    }
    throw std::runtime_error("no free loopback port below 10000");
}

// A loopback port nobody listens on: bound, then released.
inline int UnusedLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int port = BindLowLoopbackPort(s);
    close(s);
    return port;
}

// A loopback socket that listens but never accepts: connections complete in the kernel and then
// nothing is ever said.
class TSilentListener {
public:
    TSilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        port_ = BindLowLoopbackPort(fd_);
        listen(fd_, 8);
    }
    ~TSilentListener() { close(fd_); }
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};
