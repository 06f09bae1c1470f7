#include "UNginxTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t len = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ::close(s);
    return port;
}

bool Accepts(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

std::string NginxProgram() {
    for (const char* p : {"/usr/sbin/nginx", "/usr/bin/nginx"})
        if (::access(p, X_OK) == 0)
            return p;
    return "";
}

} // namespace

TNginxServer::TNginxServer(const std::string& servedFolder, long rateLimitBytesPerSecond)
    : served_(servedFolder), rate_(rateLimitBytesPerSecond) {
    if (!served_.empty() && served_.back() == '/')
        served_.pop_back();
    port_ = FreePort();
    ::mkdir((work_ / "temp").c_str(), 0755);
    WriteConfig();
    Start();
}

TNginxServer::~TNginxServer() {
    Stop();
}

std::string TNginxServer::Address() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void TNginxServer::WriteConfig() {
    const std::string w = work_.Path();
    const std::string f = served_ + "/files/";
    const std::string self = Address();
    std::ostringstream c;
    c << "daemon off;\nmaster_process off;\nworker_processes 1;\nuser root;\n"
      << "pid " << w << "nginx.pid;\nerror_log " << w << "error.log warn;\n"
      << "events { worker_connections 256; }\n"
      << "http {\n"
      << "  log_format brindle '$request_method $request_uri $status $body_bytes_sent \"$http_range\" "
         "\"$http_referer\"';\n"
      << "  access_log " << w << "access.log brindle;\n"
      << "  client_body_temp_path " << w << "temp/body;\n  proxy_temp_path " << w << "temp/proxy;\n"
      << "  fastcgi_temp_path " << w << "temp/fastcgi;\n  uwsgi_temp_path " << w << "temp/uwsgi;\n"
      << "  scgi_temp_path " << w << "temp/scgi;\n"
      << "  types { text/html html; application/zip zip; }\n  default_type application/octet-stream;\n"
      << "  sendfile on;\n  keepalive_timeout 60;\n  keepalive_requests 100000;\n"
      << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    server_name localhost;\n"
      << "    location /files/ { alias " << f << "; }\n"
      << "    location /noranges/ { alias " << f << "; max_ranges 0; }\n"
      << "    location /slow/ { alias " << f << "; limit_rate " << rate_ << "; }\n"
      << "    location /redirect/ { absolute_redirect off; rewrite ^/redirect/(.*)$ /files/$1 redirect; }\n"
      << "    location /redirectq/ { rewrite ^/redirectq/(.*)$ " << self << "/get?name=$1? redirect; }\n"
      << "    location = /get { root " << f << "; try_files /$arg_name =404;\n"
      << "      add_header Content-Disposition 'attachment; filename=\"$arg_name\"'; }\n"
      << "    location ~ ^/page/(.*)$ { default_type text/html; return 200 \"" << self
      << "/protected/$1\\r\\n\"; }\n"
      << "    location ~ ^/protected/(.*)$ { alias " << f << "$1;\n"
      << "      if ($http_referer != \"" << self << "/protected/$1\") { return 403; } }\n"
      << "  }\n}\n";
    std::ofstream(w + "nginx.conf") << c.str();
}

bool TNginxServer::Start() {
    if (pid_ > 0)
        return true;
    const std::string program = NginxProgram();
    if (program.empty()) {
        error_ = "nginx is not installed";
        return false;
    }
    const std::string w = work_.Path();
    const std::string conf = w + "nginx.conf";
    const std::string early = w + "error.log";
    std::vector<std::string> args = {program, "-p", w, "-c", conf, "-e", early};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (w + "stdout.log").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error_ = "nginx could not be started";
        return false;
    }
    pid_ = pid;
    for (int i = 0; i < 500; ++i) {
        if (Accepts(port_))
            return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "nginx ended: " + ReadFileBytes(w + "error.log");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "nginx does not accept connections";
    Stop();
    return false;
}

void TNginxServer::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::vector<std::string> TNginxServer::AccessLines() const {
    std::vector<std::string> lines;
    std::ifstream in(work_ / "access.log");
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

void TNginxServer::ClearAccessLog() {
    // nginx keeps the file open in append mode: truncating is enough.
    ::truncate((work_ / "access.log").c_str(), 0);
}

std::vector<TNginxServer::TRequest> TNginxServer::Requests() const {
    std::vector<TRequest> out;
    for (const auto& line : AccessLines()) {
        TRequest r;
        std::istringstream in(line);
        in >> r.Method >> r.URI >> r.Status >> r.Bytes;
        auto quoted = [&in]() {
            std::string s;
            in >> std::ws;
            if (in.peek() == '"') {
                in.get();
                std::getline(in, s, '"');
            }
            return s == "-" ? std::string() : s;
        };
        r.Range = quoted();
        r.Referer = quoted();
        out.push_back(r);
    }
    return out;
}
