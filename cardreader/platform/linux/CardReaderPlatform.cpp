#include "CardReaderPlatform.h"

#include <dlfcn.h>

namespace qel {

std::string LibraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || !info.dli_fname)
        return "";
    std::string file = info.dli_fname;
    auto slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

} // namespace qel
