// brindle-admin encode-settings / decode-settings / md5: the encoded settings files of a base folder
// (Config.dll, Config.qel) and file digests.
//
// The encoded form is Base64 (no line breaks) of three leading bytes followed by the zlib stream of the
// XML file's bytes (TInstallation::EncodeSettings, shared with init). The reader drops the three bytes
// unseen.
#include "admin/UAdminCommand.h"

#include "UInstallation.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsSecurity.h"

#include <cstdio>
#include <iostream>

namespace {

int EncodeSettings(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return AdminUsage("encode-settings");
    std::string xml;
    if (!TdsIOUtils::TryReadTextFile(args[0], xml))
        return AdminFail("cannot read \"" + args[0] + "\"");
    std::string encoded = TInstallation::EncodeSettings(xml);
    if (!TdsIOUtils::WriteTextFile(encoded, args[1]))
        return AdminFail("cannot write \"" + args[1] + "\"");
    return aeOK;
}

int DecodeSettings(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return AdminUsage("decode-settings");
    std::string text;
    if (!TdsIOUtils::TryReadTextFile(args[0], text))
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
