#include "USBCard.h"

#include "QEL_CardReader.h"
#include "UGlobal.h"
#include "UdsHexUtils.h"
#include "UdsStrUtils.h"

#include <cctype>
#include <vector>

namespace {

bool DebugMode() {
    return Global && Global->IsDebugMode();
}

TCardReaderApi& CurrentApi() {
    static TCardReaderApi api = TCardReaderApi::Library();
    return api;
}

// Copy in the manner of the description: 1-based start, clipped at the end.
std::string CopyText(const std::string& text, size_t start, size_t count) {
    if (start < 1 || start > text.size())
        return "";
    return text.substr(start - 1, count);
}

} // namespace

TCardReaderApi TCardReaderApi::Library() {
    TCardReaderApi api;
    api.Open = [] { return QEL_K417_Open() != 0; };
    api.UsbOpt = [](const char* request, char* response) { return QEL_K417_UsbOpt(request, response); };
    api.Close = [] { QEL_K417_Close(); };
    return api;
}

TCardReaderApi TUSBCard::SetApi(TCardReaderApi api) {
    TCardReaderApi previous = CurrentApi();
    CurrentApi() = std::move(api);
    return previous;
}

const TCardReaderApi& TUSBCard::Api() {
    return CurrentApi();
}

bool TUSBCard::OpenReader() {
    if (DebugMode())
        return true;
    return CurrentApi().Open();
}

bool TUSBCard::CloseReader() {
    if (DebugMode())
        return true;
    try {
        CurrentApi().Close();
        return true;
    } catch (...) {
        return false;
    }
}

std::string TUSBCard::GetBlockData(const std::string& block) {
    std::string text = TdsHexUtils::RemoveBlanks(block);
    if (text.size() < 6)
        return "";
    std::string lenText = text.substr(4, 2);
    if (!std::isxdigit(static_cast<unsigned char>(lenText[0])) ||
        !std::isxdigit(static_cast<unsigned char>(lenText[1])))
        return "";
    size_t len = std::stoul(lenText, nullptr, 16);
    if (len != 0)
        return CopyText(text, 7, 2 * len);
    return text.substr(2, 2);
}

std::string TUSBCard::StatusCodeText(const std::string& code) {
    if (code == "5001")
        return "无卡，请正确插卡！";
    if (code == "5002")
        return "卡操作错误，请正确插卡！";
    if (code == "5003")
        return "USB通讯出错！";
    if (code == "5004" || code == "5005" || code == "5006" || code == "5007" || code == "5082" ||
        code == "5092")
        return "卡通讯出错！";
    if (code == "5008")
        return "卡通讯出错，报税过程中税控IC卡被拔出过！";
    if (code == "9000")
        return "";
    return "未知错误！";
}

bool TUSBCard::Transmit(bool skipStatusCheck, const std::string& request, std::string& response,
                        std::string& message) {
    response.clear();
    message.clear();
    std::vector<char> buffer(TCardReaderApi::ResponseSize, '\0');
    int result = CurrentApi().UsbOpt(request.c_str(), buffer.data());
    if (result != 0) {
        message = TdsStrUtils::Format("#%d 同USB设备通讯失败（%s）！",
                                      {std::to_string(result), TdsHexUtils::SpaceHex(request)});
        return false;
    }
    // The library promises a NUL within the buffer; the last byte is forced so a faulty one cannot
    // make us read past it.
    buffer.back() = '\0';
    response = buffer.data();

    std::string lrc =
        response.size() >= 2 ? TdsHexUtils::XorCheck(response.substr(0, response.size() - 2)) : "";
    // An answer too short to hold LEN cannot be read either: the same message as a damaged one.
    if (lrc.empty() || response.substr(response.size() - 2) != lrc || response.size() < 8) {
        message = "错误的命令响应！\r\n" +
                  TdsStrUtils::Format("Request:  %s\r\nResponse: %s",
                                      {TdsHexUtils::SpaceHex(request), TdsHexUtils::SpaceHex(response)});
        return true;
    }

    std::string code = GetBlockData(response);
    bool fourDigits = code.size() == 4;
    if (fourDigits && TdsStrUtils::SameText(code.substr(0, 3), "63C")) {
        message = "#" + code + " 操作税控IC卡出现严重错误，请务必前往税务局办理业务！\r\n\r\n" +
                  "如果您继续尝试，IC卡将会被锁定！";
        return true;
    }
    bool decimal = fourDigits;
    for (char c : code)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            decimal = false;
    if (decimal) {
        std::string text = StatusCodeText(code);
        if (!text.empty())
            message = "#" + code + " " + text;
        return true;
    }
    if (!skipStatusCheck) {
        std::string command = GetBlockData(request);
        std::string status = code.size() >= 4 ? code.substr(code.size() - 4) : code;
        if (command != "AA" && command != "AC" && status != "9000")
            message = "#" + status;
    }
    return true;
}

bool TUSBCard::Exchange(const std::string& request, std::string& response, std::string& message) {
    response.clear();
    message.clear();
    if (!OpenReader())
        return false;
    bool result = false;
    try {
        result = Transmit(false, request, response, message);
    } catch (...) {
        CloseReader();
        throw;
    }
    CloseReader();
    return result;
}
