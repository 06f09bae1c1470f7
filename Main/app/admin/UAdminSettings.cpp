// brindle-admin encode-settings / decode-settings / md5: the encoded settings files of a base folder
// (Config.dll, Config.qel) and file digests.
//
// The encoded form is Base64 (no line breaks) of three leading bytes followed by the zlib stream of the
// XML file's bytes. The reader drops the three bytes unseen; we write "xyz".
#include "admin/UAdminCommand.h"

#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsSecurity.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <unistd.h>

namespace {

constexpr const char* kLeadingBytes = "xyz";

bool ReadWholeFile(const std::string& file, std::string& bytes) {
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec))
        return false;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Written beside the target and renamed over it, so a failed write never leaves half a file.
bool WriteWholeFile(const std::string& file, const std::string& bytes) {
    std::string temporary = file + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int EncodeSettings(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return AdminUsage("encode-settings");
    std::string xml;
    if (!ReadWholeFile(args[0], xml))
        return AdminFail("cannot read \"" + args[0] + "\"");
    std::string encoded = TdsIOUtils::Base64Encode(kLeadingBytes + TdsIOUtils::ZipText(xml));
    if (!WriteWholeFile(args[1], encoded))
        return AdminFail("cannot write \"" + args[1] + "\"");
    return aeOK;
}

int DecodeSettings(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return AdminUsage("decode-settings");
    std::string text;
    if (!ReadWholeFile(args[0], text))
        return AdminFail("cannot read \"" + args[0] + "\"");
    std::string data;
    try {
        data = TdsIOUtils::Base64Decode(text);
    } catch (const EdsError& e) {
        return AdminFail("\"" + args[0] + "\" is not Base64 text: " + e.what());
    }
    if (data.size() < 3)
        return AdminFail("\"" + args[0] + "\" is too short to be an encoded settings file");
    std::string xml;
    try {
        xml = TdsIOUtils::UnzipText(data.substr(3));
    } catch (const EdsError& e) {
        return AdminFail("\"" + args[0] + "\" does not hold a zlib stream: " + e.what());
    }
    if (std::fwrite(xml.data(), 1, xml.size(), stdout) != xml.size() || std::fflush(stdout) != 0)
        return AdminFail("cannot write to standard output");
    return aeOK;
}

int Md5(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return AdminUsage("md5");
    std::string digest = TdsSecurity::MD5FileHex(args[0]);
    if (digest.empty())
        return AdminFail("cannot read \"" + args[0] + "\"");
    std::cout << digest << "\n";
    return aeOK;
}

TAdminRegistrar encodeSettings("encode-settings", "IN.xml OUT", EncodeSettings);
TAdminRegistrar decodeSettings("decode-settings", "IN", DecodeSettings);
TAdminRegistrar md5("md5", "FILE", Md5);

} // namespace
