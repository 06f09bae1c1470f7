#include "UdsEnvironment.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (home.empty()) {
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
            home = pw->pw_dir;
    }
    return home.empty() ? "/" : WithSlash(home);
}

// The XDG base folders must be absolute; a relative value is ignored, as the XDG rules say.
std::string XdgFolder(const char* variable, const std::string& fallback) {
    std::string value = Env(variable);
    return !value.empty() && value[0] == '/' ? WithSlash(value) : fallback;
}

// A value from user-dirs.dirs: XDG_DESKTOP_DIR="$HOME/Desktop" or an absolute path.
std::string ExpandUserDir(std::string value, const std::string& home) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    if (value.compare(0, 5, "$HOME") == 0)
        value = home + (value.size() > 5 && value[5] == '/' ? value.substr(6) : value.substr(5));
    return !value.empty() && value[0] == '/' ? WithSlash(value) : "";
}

std::string DesktopFolder() {
    std::string home = HomeFolder();
    std::string fromEnv = ExpandUserDir(Env("XDG_DESKTOP_DIR"), home);
    if (!fromEnv.empty())
        return fromEnv;
    std::ifstream dirs(XdgFolder("XDG_CONFIG_HOME", home + ".config/") + "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=";
    while (std::getline(dirs, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            std::string folder = ExpandUserDir(line.substr(key.size()), home);
            if (!folder.empty())
                return folder;
        }
    }
    return home + "Desktop/";
}

void KernelVersion(int& major, int& minor) {
    major = minor = 0;
    utsname name{};
    if (uname(&name) == 0)
        std::sscanf(name.release, "%d.%d", &major, &minor);
}

} // namespace

std::string TdsEnvironment::SpecialFolder(int kind) {
    switch (kind) {
    case 0:
        return "/etc/";
    case 1:
        return HomeFolder();
    case 2:
        return "/usr/lib/";
    case 3:
        return "/opt/";
    case 4:
        return XdgFolder("TMPDIR", "/tmp/");
    case 5:
    case 6:
        return DesktopFolder();
    case 7:
        return XdgFolder("XDG_DATA_HOME", HomeFolder() + ".local/share/") + "applications/";
    case 8:
        return "/usr/share/applications/";
    default:
        return "";
    }
}

bool TdsEnvironment::IsVersion5OrLater() {
    int major, minor;
    KernelVersion(major, minor);
    return major >= 5;
}

bool TdsEnvironment::IsVersion6OrLater() {
    int major, minor;
    KernelVersion(major, minor);
    return major >= 6;
}

std::string TdsEnvironment::VersionText() {
    int major, minor;
    KernelVersion(major, minor);
    return std::to_string(major) + "." + std::to_string(minor);
}
