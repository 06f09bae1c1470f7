// marrowgate-host: a small host program for integrators. It loads the tax data transfer library at run time
// (beside the program, or the file named by --library / MARROWGATE_LIBRARY), calls one export and prints
// its result code ("result: N"), plus what the export returned in its buffer.
#include "Marrowgate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if defined(_WIN32)
const char kLibraryName[] = "Marrowgate.dll";
#else
const char kLibraryName[] = "libMarrowgate.so";
#endif

using TFileRun = int32_t(MARROWGATE_STDCALL*)(const char*);
using TIntRun = int32_t(MARROWGATE_STDCALL*)(int32_t);
using TBufferRun = int32_t(MARROWGATE_STDCALL*)(char*);
using TOrderRun = int32_t(MARROWGATE_STDCALL*)(const char*, const char*, uint8_t*, int32_t, int32_t);

void* library = nullptr;

std::string ProgramFolder(const char* argv0) {
#if defined(_WIN32)
    (void)argv0;
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string file = path;
    size_t slash = file.find_last_of("\\/");
#else
    std::string file = argv0;
    size_t slash = file.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

bool Load(const std::string& path) {
#if defined(_WIN32)
    library = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    library = dlopen(path.c_str(), RTLD_NOW);
#endif
    if (library == nullptr)
        std::fprintf(stderr, "marrowgate-host: cannot load %s\n", path.c_str());
    return library != nullptr;
}

template <typename T> T Export(const char* name) {
#if defined(_WIN32)
    auto symbol = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    void* symbol = dlsym(library, name);
#endif
    if (symbol == nullptr) {
        std::fprintf(stderr, "marrowgate-host: the library has no export %s\n", name);
        std::exit(3);
    }
    return reinterpret_cast<T>(symbol);
}

int Usage() {
    std::fprintf(stderr, "usage: marrowgate-host [--library FILE] COMMAND\n"
                         "  bs FILE                      declaration data into a VTD XML file\n"
                         "  qk FILE [--type 10|20]       clear-card data into a VTD XML file\n"
                         "  taxpayer                     the taxpayer identifier\n"
                         "  card                         the disk number\n"
                         "  run-order HEX [DATA] [--write] [--length N]\n"
                         "                               one raw command (read: N bytes, default 2)\n"
                         "  run-vtd FILE                 runs the pending rows of a VTD XML file\n"
                         "  clear-order                  writes the configured clear-card block\n");
    return 2;
}

int Report(int32_t result) {
    std::printf("result: %d\n", static_cast<int>(result));
    return result == 1 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string libraryPath;
    if (const char* named = std::getenv("MARROWGATE_LIBRARY"); named != nullptr && *named != '\0')
        libraryPath = named;
    if (args.size() >= 2 && args[0] == "--library") {
        libraryPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty())
        return Usage();
    if (libraryPath.empty())
        libraryPath = ProgramFolder(argv[0]) + kLibraryName;
    const std::string command = args[0];
    if (!Load(libraryPath))
        return 3;

    if (command == "bs" && args.size() == 2)
        return Report(Export<TFileRun>("BSUsbDataToVtdXmlFile")(args[1].c_str()));
    if (command == "qk" && (args.size() == 2 || (args.size() == 4 && args[2] == "--type"))) {
        if (args.size() == 4) {
            char* end = nullptr;
            long type = std::strtol(args[3].c_str(), &end, 10);
            if (*end != '\0')
                return Usage();
            Export<TIntRun>("SetUsbCardDataType")(static_cast<int32_t>(type));
        }
        return Report(Export<TFileRun>("QKUsbDataToVtdXmlFile")(args[1].c_str()));
    }
    if ((command == "taxpayer" || command == "card") && args.size() == 1) {
        char buffer[64] = {};
        int32_t result = Export<TBufferRun>(command == "taxpayer" ? "GetTaxpayerID" : "GetCardID")(buffer);
        if (result == 1)
            std::printf("%s\n", buffer);
        return Report(result);
    }
    if (command == "run-order" && args.size() >= 2) {
        std::string hex = args[1], data;
        bool write = false;
        long length = 2;
        for (size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--write") {
                write = true;
            } else if (args[i] == "--length" && i + 1 < args.size()) {
                char* end = nullptr;
                length = std::strtol(args[++i].c_str(), &end, 10);
                if (*end != '\0' || length <= 0 || length > 1 << 20)
                    return Usage();
            } else if (data.empty() && args[i].rfind("--", 0) != 0) {
                data = args[i];
            } else {
                return Usage();
            }
        }
        if (Export<TIntRun>("OperateUsbDevice")(1) != 1) {
            std::printf("open: 0\n");
            return Report(-1);
        }
        std::vector<uint8_t> buffer(static_cast<size_t>(length), 0);
        int32_t result = Export<TOrderRun>("RunExternUsbOrder")(hex.c_str(), data.c_str(), buffer.data(),
                                                                static_cast<int32_t>(length), write ? 1 : 0);
        Export<TIntRun>("OperateUsbDevice")(0);
        if (result == 1 && !write) {
            for (size_t i = 0; i < buffer.size(); ++i)
                std::printf("%s%02x", i > 0 ? " " : "", buffer[i]);
            std::printf("\n");
        }
        return Report(result);
    }
    if (command == "run-vtd" && args.size() == 2) {
        std::ifstream in(args[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "marrowgate-host: cannot read %s\n", args[1].c_str());
            return 3;
        }
        std::stringstream text;
        text << in.rdbuf();
        return Report(Export<TFileRun>("RunExternQkUsbStrOrder")(text.str().c_str()));
    }
    if (command == "clear-order" && args.size() == 1)
        return Report(Export<int32_t(MARROWGATE_STDCALL*)(void)>("RunExternQkUsbOrder")());
    return Usage();
}
