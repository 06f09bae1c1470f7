// The disk, the diagnostic output and the configuration file. The device search and the pass-through call
// are the shared backends of the USB card I/O library (usbdevice), linked into this library by source.
#include "MgCore.h"
#include "QuillonPlatform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

TQuillonHandle device = kQuillonNoDevice;

void InstallDiagnostics() {
    static bool installed = false;
    if (!installed) {
        QuillonSetDiagnosticSink(DebugLine);
        installed = true;
    }
}

std::string LibraryFolder() {
#if defined(_WIN32)
    HMODULE module = nullptr;
    char path[MAX_PATH] = {};
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&LibraryFolder), &module) ||
        GetModuleFileNameA(module, path, MAX_PATH) == 0)
        return "";
    std::string file = path;
    size_t slash = file.find_last_of("\\/");
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr)
        return "";
    std::string file = info.dli_fname;
    size_t slash = file.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

std::string ConfigFile() {
    const char* named = std::getenv("MARROWGATE_CONFIG");
    if (named != nullptr && *named != '\0')
        return named;
    return LibraryFolder() + "Marrowgate.ini";
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool SameKey(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The value of key in section [Device]; a value of the wrong size or with other than hex pairs counts as
// missing, so a typing error never sends a shortened block.
std::vector<uint8_t> ConfiguredBytes(const char* key, size_t size) {
    std::ifstream in(ConfigFile(), std::ios::binary);
    std::string line;
    bool inDevice = false;
    while (std::getline(in, line)) {
        line = Trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[') {
            inDevice = SameKey(Trimmed(line.substr(1, line.find(']') - 1)), "Device");
            continue;
        }
        size_t equals = line.find('=');
        if (!inDevice || equals == std::string::npos || !SameKey(Trimmed(line.substr(0, equals)), key))
            continue;
        std::string value = Trimmed(line.substr(equals + 1));
        for (char c : value)
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ' ')
                return {};
        std::vector<uint8_t> bytes;
        if (!HexTextToBytes(value, bytes) || bytes.size() != size)
            return {};
        return bytes;
    }
    return {};
}

} // namespace

void DebugLine(const char* line) {
    std::string text = std::string(line) + "\r\n";
#if defined(_WIN32)
    OutputDebugStringA(text.c_str());
#else
    const char* file = std::getenv("MARROWGATE_DEBUG_OUTPUT");
    if (file == nullptr || *file == '\0')
        return;
    if (FILE* out = std::fopen(file, "ab")) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
#endif
}

bool DeviceOpen() {
    InstallDiagnostics();
    // A second open would leak the first handle: closed before the new search.
    DeviceClose();
    device = QuillonPlatformOpen();
    return device != kQuillonNoDevice;
}

void DeviceClose() {
    if (device != kQuillonNoDevice)
        QuillonPlatformClose(device);
    device = kQuillonNoDevice;
}

bool DeviceIsOpen() {
    return device != kQuillonNoDevice;
}

std::vector<uint8_t> ConfiguredVerifyValue() {
    return ConfiguredBytes("VerifyValue", 4);
}

std::vector<uint8_t> ConfiguredClearOrderBlock() {
    return ConfiguredBytes("ClearOrderBlock", 49);
}

bool TransferOne(const TransferCommand& entry, uint8_t* buffer, uint32_t& transferred) {
    transferred = 0;
    std::vector<uint8_t> command;
    if (!HexTextToBytes(entry.Command, command) || command.empty() || command.size() > 16)
        return false;
    std::vector<uint8_t> data;
    uint8_t* target = buffer;
    if (entry.Direction != 0) {
        if (!HexTextToBytes(entry.Data, data))
            return false;
        target = data.data();
    }
    if (entry.Length <= 0 || target == nullptr)
        return false;
    if (entry.Direction != 0 && data.size() < static_cast<size_t>(entry.Length))
        return false;
    if (device == kQuillonNoDevice) {
        DebugLine("SendSCSICommandToDevice file open error with error: 6\n"); // ERROR_INVALID_HANDLE
        return false;
    }
    TQuillonRequest request;
    std::memcpy(request.Cdb, command.data(), command.size());
    request.CdbLength = static_cast<uint8_t>(command.size());
    request.DataIn = entry.Direction == 0;
    request.DataTransferLength = static_cast<uint32_t>(entry.Length);
    request.TimeOutValue = 30;
    request.DataBuffer = target;
    uint32_t count = 0;
    if (!QuillonPlatformSend(device, request, count))
        return false;
    transferred = count;
    return true;
}

namespace {

std::string CommandText(uint8_t function) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "FCFFCCBC53E1";
    text += digits[function >> 4];
    text += digits[function & 15];
    return text;
}

std::string UpperHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

} // namespace

TransferCommand ReadCommand(uint8_t function, int length) {
    return {0, CommandText(function), "", length};
}

TransferCommand WriteCommand(uint8_t function, const std::vector<uint8_t>& data) {
    return {1, CommandText(function), UpperHex(data), static_cast<int>(data.size())};
}
