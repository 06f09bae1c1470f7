#include "UDeclareBiz.h"

#include "Simulator.h"
#include "UGlobal.h"
#include "USBCard.h"
#include "UdsAppLogger.h"
#include "UdsDialogs.h"
#include "UdsHexUtils.h"
#include "UdsStrUtils.h"

#include <cstdio>

namespace {

std::string RemoveBlanks(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != ' ')
            out += c;
    return out;
}

std::string Hex2(size_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value & 0xFF));
    return text;
}

} // namespace

std::string TDeclareBiz::BuildBlock(const std::string& apdu) const {
    std::string data = RemoveBlanks(apdu);
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
    std::string request = RemoveBlanks(block);
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
