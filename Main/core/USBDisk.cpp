#include "USBDisk.h"

#include "Simulator.h"
#include "UdsHexUtils.h"

#include "Quillon.h"
#include "UGlobal.h"
#include "UdsExceptions.h"
#include "UdsStrUtils.h"

#include <cstdint>
#include <vector>

namespace {

bool InDebugMode() {
    return Global != nullptr && Global->IsDebugMode();
}

} // namespace

bool TUSBDisk::OpenDisk() {
    return OpenUsbCard() == 1;
}

int TUSBDisk::CloseDisk() {
    return CloseUsbCard();
}

std::string TUSBDisk::HexToStr(const std::string& hex) {
    std::string packed = TdsHexUtils::RemoveBlanks(hex);
    std::string bytes;
    for (size_t i = 0; i + 1 < packed.size(); i += 2) {
        int high = TdsHexUtils::HexDigitValue(packed[i]);
        int low = TdsHexUtils::HexDigitValue(packed[i + 1]);
        bytes += static_cast<char>(high < 0 || low < 0 ? 0 : high * 16 + low);
    }
    return bytes;
}

std::string TUSBDisk::StrToHex(const std::string& bytes, bool dropLeadingSpace) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (unsigned char b : bytes) {
        text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    if (dropLeadingSpace && !text.empty())
        text.erase(0, 1);
    return text;
}

bool TUSBDisk::SendCommand(const std::string& command, const std::string& param, const std::string& direction,
                           std::string& response) {
    response.clear();
    if (InDebugMode()) {
        response = GetSimulator()->GetDiskResponse(command, param);
        return true;
    }
    // Any other direction would reach the library as a write of the whole zeroed buffer.
    if (direction != "0" && direction != "1")
        throw EdsError(TdsStrUtils::Format("报税盘指令“%s”的方向“%s”无效，只能是“0”（读）或“1”（写）！",
                                           {command, direction}));
    std::string commandBytes = HexToStr(command);
    std::string paramBytes = HexToStr(param);
    if (paramBytes.size() > kBufferSize)
        throw EdsError(TdsStrUtils::Format("报税盘指令“%s”的参数超过%s字节，无法发送！",
                                           {command, std::to_string(kBufferSize)}));
    std::vector<uint8_t> buffer(kBufferSize, 0);
    int32_t length = static_cast<int32_t>(kBufferSize);
    if (direction == "1") {
        std::copy(paramBytes.begin(), paramBytes.end(), buffer.begin());
        length = static_cast<int32_t>(paramBytes.size());
    }
    int32_t transferred = 0;
    bool done = SendCmdAndDataToUsbCard(reinterpret_cast<const uint8_t*>(commandBytes.data()),
                                        static_cast<int32_t>(commandBytes.size()), buffer.data(), length,
                                        &transferred, direction == "1" ? 1 : 0) == 1;
    if (done && direction == "0") {
        size_t count = transferred < 0 ? 0 : std::min(static_cast<size_t>(transferred), kBufferSize);
        response =
            StrToHex(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)), true);
    }
    return done;
}
