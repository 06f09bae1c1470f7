// The exports: the library state, the short command sequences and the runs.
#include "Marrowgate.h"
#include "MgCore.h"

#include <cstdio>
#include <cstring>
#include <new>

std::atomic<int32_t> RunFlag{0};
int32_t DataType = 0;
std::vector<TransferCommand> CommandList;

namespace {

int32_t DeviceOpened = 0;

// Reads one entry into answer; false on a failed or short transfer.
bool ReadEntry(uint8_t function, int length, std::vector<uint8_t>& answer) {
    TransferCommand entry = ReadCommand(function, length);
    answer.assign(static_cast<size_t>(length), 0);
    uint32_t transferred = 0;
    return TransferOne(entry, answer.data(), transferred) && transferred == static_cast<uint32_t>(length);
}

bool WriteEntry(uint8_t function, const std::vector<uint8_t>& data) {
    TransferCommand entry = WriteCommand(function, data);
    uint32_t transferred = 0;
    return TransferOne(entry, nullptr, transferred) && transferred == data.size();
}

// Steps 1 and 2 shared by GetTaxpayerID and GetCardID: open, and unlock a disk that answers 09 with EE EE.
int32_t OpenAndUnlock() {
    if (!DeviceOpen())
        return -1;
    std::vector<uint8_t> answer;
    if (!ReadEntry(0x09, 2, answer))
        return -2;
    if (answer[0] == 0xEE && answer[1] == 0xEE) {
        std::vector<uint8_t> verify = ConfiguredVerifyValue();
        if (verify.empty())
            return MARROWGATE_NOT_CONFIGURED;
        if (!WriteEntry(0x40, verify) || !ReadEntry(0xaa, 2, answer))
            return -2;
    }
    return 1;
}

// The shape of the two identifier reads: close on every path, allocation failures count as -2.
template <typename TBody> int32_t IdentifierRun(char* buffer, TBody body) {
    if (buffer == nullptr)
        return 0;
    int32_t result;
    try {
        result = OpenAndUnlock();
        if (result == 1)
            result = body() ? 1 : -2;
    } catch (const std::bad_alloc&) {
        result = -2;
    }
    if (result != -1)
        DeviceClose();
    return result;
}

const char kHexDigits[] = "0123456789abcdef";

} // namespace

extern "C" {

MARROWGATE_API int32_t MARROWGATE_STDCALL SetUsbCardDataType(int32_t dataType) {
    DataType = dataType;
    return dataType;
}

MARROWGATE_API int32_t MARROWGATE_STDCALL BSUsbDataToVtdXmlFile(const char* fileName) {
    RunFlag.store(1);
    try {
        return WriteVtdFile(fileName, TVtdMode::Declaration);
    } catch (const std::bad_alloc&) {
        DeviceClose();
        if (fileName != nullptr)
            std::remove(fileName);
        return -2;
    }
}

MARROWGATE_API int32_t MARROWGATE_STDCALL QKUsbDataToVtdXmlFile(const char* fileName) {
    RunFlag.store(1);
    try {
        return WriteVtdFile(fileName, TVtdMode::ClearCard);
    } catch (const std::bad_alloc&) {
        DeviceClose();
        if (fileName != nullptr)
            std::remove(fileName);
        return -2;
    }
}

MARROWGATE_API void MARROWGATE_STDCALL StopReadUsbData(void) {
    RunFlag.store(0);
}

MARROWGATE_API int32_t MARROWGATE_STDCALL RunExternQkUsbOrder(void) {
    RunFlag.store(1);
    std::vector<uint8_t> block = ConfiguredClearOrderBlock();
    // Without the configured block nothing is sent: a block of zeros would reach the disk as a command.
    if (block.empty())
        return MARROWGATE_NOT_CONFIGURED;
    CommandList.clear();
    CommandList.push_back(WriteCommand(0xa7, block));
    if (!DeviceOpen())
        return -1;
    int32_t status = -5;
    if (RunFlag.load() != 0) {
        uint32_t transferred = 0;
        bool sent = TransferOne(CommandList.front(), nullptr, transferred);
        if (RunFlag.load() == 0)
            status = -5;
        else if (!sent || transferred != 49)
            status = -4;
        else
            status = 1;
    }
    DeviceClose();
    return status;
}

MARROWGATE_API int32_t MARROWGATE_STDCALL RunExternQkUsbStrOrder(const char* xmlText) {
    if (!DeviceOpen())
        return -1;
    int32_t result = 1;
    try {
        std::vector<TOrderRow> rows;
        if (xmlText == nullptr || !ParseOrderXml(xmlText, rows)) {
            DeviceClose();
            return 0;
        }
        CommandList.clear();
        for (const TOrderRow& row : rows)
            CommandList.push_back({row.Write ? 1 : 0, row.Command, row.Write ? row.Data : "",
                                   static_cast<int>(row.Data.size() / 2)});
        std::vector<uint8_t> answer;
        for (const TransferCommand& entry : CommandList) {
            answer.assign(static_cast<size_t>(entry.Length), 0);
            uint32_t transferred = 0;
            if (!TransferOne(entry, answer.data(), transferred) ||
                transferred != static_cast<uint32_t>(entry.Length)) {
                result = -2;
                break;
            }
            // The status check: a read of aa whose answer holds any nonzero byte in its first two.
            std::vector<uint8_t> command;
            HexTextToBytes(entry.Command, command);
            if (entry.Direction == 0 && command.size() == 7 && command.back() == 0xaa &&
                std::memcmp(command.data(), "\xFC\xFF\xCC\xBC\x53\xE1", 6) == 0 && answer.size() >= 2 &&
                (answer[0] != 0 || answer[1] != 0)) {
                result = -4;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        result = -2;
    }
    DeviceClose();
    return result;
}

MARROWGATE_API int32_t MARROWGATE_STDCALL OperateUsbDevice(int32_t flag) {
    if ((flag & 0xFF) == 1) {
        if (DeviceOpened == 1)
            return 1;
        DeviceOpened = DeviceOpen() ? 1 : 0;
        return DeviceOpened;
    }
    DeviceOpened = 0;
    DeviceClose();
    return 1;
}

MARROWGATE_API int32_t MARROWGATE_STDCALL RunExternUsbOrder(const char* commandHex, const char* dataHex,
                                                            uint8_t* buffer, int32_t length, int32_t write) {
    if (DeviceOpened == 0)
        return -1;
    if (commandHex == nullptr || *commandHex == '\0')
        return 0;
    std::vector<uint8_t> bytes;
    if (!HexTextToBytes(commandHex, bytes) || bytes.empty())
        return 0;
    TransferCommand entry;
    entry.Command = commandHex;
    uint32_t transferred = 0;
    if ((write & 0xFF) != 0) {
        std::vector<uint8_t> data;
        std::string dataText = dataHex != nullptr ? dataHex : "";
        if (!HexTextToBytes(dataText, data))
            return 0;
        entry.Direction = 1;
        entry.Data = dataText;
        entry.Length = static_cast<int>(data.size());
        return TransferOne(entry, nullptr, transferred) ? 1 : -3;
    }
    if (buffer == nullptr)
        return -2;
    entry.Direction = 0;
    entry.Length = length;
    if (!TransferOne(entry, buffer, transferred))
        return -3;
    return transferred == static_cast<uint32_t>(length) ? 1 : -4;
}

MARROWGATE_API int32_t MARROWGATE_STDCALL GetTaxpayerID(char* buffer) {
    return IdentifierRun(buffer, [buffer] {
        std::vector<uint8_t> answer;
        if (!ReadEntry(0x28, 17, answer))
            return false;
        for (int i = 0; i < 15; ++i)
            buffer[i] = kHexDigits[i % 2 == 0 ? answer[i / 2] >> 4 : answer[i / 2] & 15];
        buffer[15] = '\0';
        return true;
    });
}

MARROWGATE_API int32_t MARROWGATE_STDCALL GetCardID(char* buffer) {
    return IdentifierRun(buffer, [buffer] {
        std::vector<uint8_t> answer;
        if (!ReadEntry(0x28, 17, answer) || !ReadEntry(0xaa, 2, answer) || !ReadEntry(0xc9, 61, answer))
            return false;
        for (int i = 0; i < 3; ++i)
            buffer[i] = static_cast<char>(answer[24 + i]);
        for (int i = 0; i < 3; ++i) {
            buffer[3 + 2 * i] = kHexDigits[answer[27 + i] >> 4];
            buffer[4 + 2 * i] = kHexDigits[answer[27 + i] & 15];
        }
        buffer[9] = '\0';
        return true;
    });
}

} // extern "C"
