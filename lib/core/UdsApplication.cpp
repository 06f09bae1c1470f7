#include "UdsApplication.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

TdsApplicationBackend* g_app = nullptr;
int g_waitDepth = 0;

// Splits a parameter text at blanks; double quotes group a parameter (as a command line does).
std::vector<std::string> SplitParameters(const std::string& text) {
    std::vector<std::string> args;
    std::string current;
    bool inQuotes = false, any = false;
    for (char c : text) {
        if (c == '"') {
            inQuotes = !inQuotes;
            any = true;
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            if (any)
                args.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any)
        args.push_back(current);
    return args;
}

// Starts the program detached (double fork), so it outlives us and leaves no zombie.
bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& folder) {
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild < 0 ? 1 : 0);
        if (!folder.empty() && chdir(folder.c_str()) != 0)
            _exit(127);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, STDIN_FILENO);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

bool TdsApplicationBackend::ShellOpen(const std::string& file, const std::string& parameters,
                                      const std::string& workingFolder, bool) {
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0) {
        std::string folder = workingFolder;
        if (folder.empty()) {
            auto slash = file.find_last_of('/');
            folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
        }
        return SpawnDetached(file, SplitParameters(parameters), folder);
    }
    return SpawnDetached("xdg-open", {file}, workingFolder);
}

void TdsApplication::SetBackend(TdsApplicationBackend* backend) {
    g_app = backend;
}

TdsApplicationBackend& TdsApplication::Backend() {
    static TdsApplicationBackend plain;
    return g_app ? *g_app : plain;
}

TdsWaitCursor::TdsWaitCursor() {
    if (g_waitDepth++ == 0)
        TdsApplication::Backend().SetWaitCursor(true);
}

TdsWaitCursor::~TdsWaitCursor() {
    if (--g_waitDepth == 0)
        TdsApplication::Backend().SetWaitCursor(false);
}
