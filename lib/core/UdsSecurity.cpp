#include "UdsSecurity.h"

#include "UdsEncoding.h"
#include "UdsHexUtils.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <openssl/evp.h>

namespace {

using TDigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

TDigestContext NewContext() {
    TDigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        context.reset();
    return context;
}

std::string Finish(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        return "";
    return TdsHexUtils::BytesToHex(std::string(reinterpret_cast<const char*>(digest), length));
}

} // namespace

std::string TdsSecurity::MD5Hex(const std::string& text) {
    return MD5DataHex(TdsEncoding::Utf8ToAnsi(text));
}

std::string TdsSecurity::MD5DataHex(const std::string& bytes) {
    TDigestContext context = NewContext();
    if (!context || EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1)
        return "";
    return Finish(context.get());
}

std::string TdsSecurity::MD5FileHex(const std::string& file) {
    // A folder opens as a stream on Linux but cannot be read.
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec))
        return "";
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return "";
    TDigestContext context = NewContext();
    if (!context)
        return "";
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        std::streamsize n = in.gcount();
        if (n > 0 && EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(n)) != 1)
            return "";
    }
    if (in.bad())
        return "";
    return Finish(context.get());
}
