#pragma once
// The running program, its files and the shell. (The widget helpers of this family live with the Qt
// library.)
#include <string>

class TdsSysUtils {
public:
    // Opens an existing file with the shell (TdsApplication::ShellOpen), in a maximised window when asked;
    // a missing file shows the error box "帮助文件“%s”不存在！". True when the shell took the file.
    static bool OpenFile(const std::string& file, bool maximised = false);
    // The canonical absolute path of an existing file or folder (links and "." / ".." resolved; a folder
    // given with a trailing "/" keeps it); anything else comes back as given.
    static std::string LongPathName(const std::string& path);
    // The running program's file, and its folder with a trailing "/".
    static std::string ModuleFile();
    static std::string ModuleFolder();
    // The debugger channel: one line on standard error (line breaks inside shown as \n), only when the
    // environment variable BRINDLE_DEBUG_OUTPUT is set, so users of the console programs see only messages.
    static void OutputDebugString(const std::string& text);
};
