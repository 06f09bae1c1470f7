#include "UdsSysUtils.h"

#include "UdsApplication.h"
#include "UdsDialogs.h"
#include "UdsStrUtils.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>
#include <vector>

bool TdsSysUtils::OpenFile(const std::string& file, bool maximised) {
    std::error_code ec;
    if (file.empty() || !std::filesystem::exists(file, ec)) {
        TdsDialogs::ShowPrompt(TdsStrUtils::Format("帮助文件“%s”不存在！", {file}), mkError);
        return false;
    }
    return TdsApplication::ShellOpen(file, "", "", maximised);
}

std::string TdsSysUtils::LongPathName(const std::string& path) {
    if (path.empty())
        return path;
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(path, ec);
    if (ec)
        return path;
    std::string result = canonical.string();
    if (path.back() == '/' && result.back() != '/' && std::filesystem::is_directory(canonical, ec))
        result += '/';
    return result;
}

std::string TdsSysUtils::ModuleFile() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return "";
        if (static_cast<size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
}

std::string TdsSysUtils::ModuleFolder() {
    std::string file = ModuleFile();
    auto slash = file.find_last_of('/');
    return slash == std::string::npos ? "" : file.substr(0, slash + 1);
}

void TdsSysUtils::OutputDebugString(const std::string& text) {
    if (!std::getenv("BRINDLE_DEBUG_OUTPUT"))
        return;
    std::string line = TdsConsoleDialogs::OneLine(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
