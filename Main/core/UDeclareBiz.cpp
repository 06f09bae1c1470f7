#include "UDeclareBiz.h"

#include "Simulator.h"
#include "UGlobal.h"
#include "USBCard.h"
#include "UVirtualTable.h"
#include "UdsAppLogger.h"
#include "UdsDialogs.h"
#include "UdsExceptions.h"
#include "UdsHexUtils.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <cstdio>

namespace {

std::string Hex2(size_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value & 0xFF));
    return text;
}

// The file name with its extension (from the last "." of the name on) replaced, or appended.
std::string ChangeExtension(const std::string& file, const std::string& extension) {
    size_t slash = file.rfind('/');
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return file + extension;
    return file.substr(0, dot) + extension;
}

std::string TempFolder() {
    return Global->PathInfo->GetTempFolder();
}

// The answer of the first row marked with the item, trimmed blanks ignored; false without such a row.
bool ItemAnswer(const std::string& cardFile, const std::string& item, std::string& answer) {
    TVirtualTable table;
    table.LoadFromFile(cardFile);
    int marker = table.FieldIndex("ErrorCMD");
    int response = table.FieldIndex("CMDResponse");
    if (marker < 0 || response < 0)
        return false;
    for (table.First(); !table.Eof(); table.Next())
        if (TdsStrUtils::Trim(table.Field(marker).AsString()) == item) {
            answer = table.Field(response).AsString();
            return true;
        }
    return false;
}

// Zips the two scripts under the ".zip" name and renames the archive to ".dat". An old package of that
// name goes first, so a failed packing can never hand a stale package to the upload.
std::string PackScripts(const std::string& zipFile, const std::string& cardFile,
                        const std::string& diskFile) {
    std::string datFile = ChangeExtension(zipFile, ".dat");
    TdsIOUtils::DeleteFileForced(datFile);
    if (TdsIOUtils::ZipFiles({cardFile, diskFile}, zipFile))
        TdsIOUtils::MoveFileTo(zipFile, datFile);
    return datFile;
}

} // namespace

std::string TDeclareBiz::BuildBlock(const std::string& apdu) const {
    std::string data = TdsHexUtils::RemoveBlanks(apdu);
    std::string pcb = "00";
    if (!LastBlock.empty() && TUSBCard::GetBlockData(LastBlock) != "AA")
        pcb = LastBlock.substr(2, 2) == "00" ? "40" : "00";
    std::string text = "12" + pcb + Hex2(data.size() / 2) + data;
    return text + TdsHexUtils::XorCheck(text);
}

bool TDeclareBiz::SendBlock(const std::string& block, std::string& data, std::string& response) {
    data.clear();
    response.clear();
    if (Global && Global->IsDebugMode()) {
        data = GetSimulator()->GetCardResponse(TUSBCard::GetBlockData(block));
        response = BuildBlock(data);
        return true;
    }
    std::string request = TdsHexUtils::RemoveBlanks(block);
    std::string message;
    if (TUSBCard::Exchange(request, response, message)) {
        LastBlock = request;
        if (Global && Global->AppLogger)
            Global->AppLogger->Log(
                TdsStrUtils::Format("Request:  %s\r\nResponse: %s",
                                    {TdsHexUtils::SpaceHex(request), TdsHexUtils::SpaceHex(response)}),
                true);
        if (message.empty()) {
            data = TUSBCard::GetBlockData(response);
            return true;
        }
        if (IgnoreNextError) {
            IgnoreNextError = false;
            return true;
        }
        TdsDialogs::ShowError(message);
        return false;
    }
    if (!message.empty())
        TdsDialogs::ShowError(message);
    return false;
}

bool TDeclareBiz::SendApdu(const std::string& apdu, std::string& data, std::string& response) {
    return SendBlock(BuildBlock(apdu), data, response);
}

// ---- Working files ----

void TDeclareBiz::ClearTempFolders() {
    TdsIOUtils::ClearFolder(Global->PathInfo->GetTempFolder());
    TdsIOUtils::ClearFolder(Global->PathInfo->GetTaxpayerTempFolder());
}

std::string TDeclareBiz::PrepareDeclareCardFile() {
    ClearTempFolders();
    std::string file =
        TempFolder() + "KDR_Card_" + Global->TaxpayerID + TdsStrUtils::NewGuidText(false) + ".vtd";
    TdsIOUtils::CopyFileTo(Global->PathInfo->GetResFolder() + "BS_Card.vtd", file);
    return file;
}

std::string TDeclareBiz::PrepareDeclareDiskFile(const std::string& step) {
    std::string source = Global->PathInfo->GetResFolder() + "BS_Disk_" + step + ".vtd";
    if (!TdsIOUtils::FileExists(source))
        throw EdsError(TdsStrUtils::Format("报税盘脚本模板文件“%s”不存在，无法进行常规报税！", {source}));
    std::string file = TempFolder() + "KDR_Disk_" + step + "_" + Global->TaxpayerID +
                       TdsStrUtils::NewGuidText(false) + ".vtd";
    if (!TdsIOUtils::CopyFileTo(source, file))
        throw EdsError(TdsStrUtils::Format("无法复制报税盘脚本模板文件“%s”！", {source}));
    return file;
}

std::string TDeclareBiz::PackDeclareFiles(const std::string& /*stepCode*/, const std::string& cardFile,
                                          const std::string& diskFile) {
    return PackScripts(TempFolder() + "KDR" + Global->TaxpayerID + TdsStrUtils::NewGuidText(false) + ".zip",
                       cardFile, diskFile);
}

std::string TDeclareBiz::PackUnlockFiles(const std::string& /*stepCode*/, const std::string& cardFile,
                                         const std::string& diskFile) {
    std::string name = TdsIOUtils::ExtractName(cardFile);
    std::string tail = name.size() > 9 ? name.substr(9) : "";
    return PackScripts(TdsIOUtils::ExtractFolder(cardFile) + ChangeExtension("KDR" + tail, ".zip"), cardFile,
                       diskFile);
}

std::string TDeclareBiz::ReadCardTaxpayerID(const std::string& cardFile) {
    if (Global->IsDebugMode())
        return Global->TaxpayerID;
    std::string answer;
    if (!ItemAnswer(cardFile, "{ID}", answer) || answer.size() <= 4)
        return "";
    return answer.substr(4, Global->TaxpayerID.size());
}

std::string TDeclareBiz::ReadCardNumber(const std::string& cardFile) {
    std::string answer;
    if (!ItemAnswer(cardFile, "{IC}", answer) || answer.size() <= 32)
        return "";
    return answer.substr(32, 14);
}
