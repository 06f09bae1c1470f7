#pragma once
// The library's inner parts: hex texts, the device, the configuration, the command road, the VTD files.
#include "Marrowgate.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// --- Hex texts
// Read from the last character to the first; adjacent hex digit pairs become bytes, everything else is
// skipped. False when a digit has no partner or the text holds more than 255 bytes (such text is refused
// rather than sent with bytes missing).
bool HexTextToBytes(const std::string& text, std::vector<uint8_t>& bytes);
// "fc ff cc bc 53 e1 09": lower-case pairs separated by single spaces.
std::string BytesToHexText(const uint8_t* bytes, size_t count);

// --- Device: the one open disk of the process (device search and transfer of the shared backends)
bool DeviceOpen();
void DeviceClose();
bool DeviceIsOpen();
// Diagnostic line to the debugger output (Windows) or to the file named by MARROWGATE_DEBUG_OUTPUT.
void DebugLine(const char* line);

// --- Configuration: Marrowgate.ini beside the library, or the file named by MARROWGATE_CONFIG, read
// afresh at each use. Empty when missing or malformed.
std::vector<uint8_t> ConfiguredVerifyValue();     // 4 bytes
std::vector<uint8_t> ConfiguredClearOrderBlock(); // 49 bytes

// --- Commands
struct TransferCommand {
    int Direction = 0;   // 0 read, 1 write
    std::string Command; // hex text without spaces, upper case
    std::string Data;    // hex text of a write's bytes
    int Length = 0;      // bytes to read or to send
};

// The single road of every command: the entry's command (and, for writes, data) bytes go to the disk;
// reads land in buffer (at least Length bytes). False when the hex texts are unusable or the transfer call
// fails; transferred then is 0.
bool TransferOne(const TransferCommand& entry, uint8_t* buffer, uint32_t& transferred);

TransferCommand ReadCommand(uint8_t function, int length);
TransferCommand WriteCommand(uint8_t function, const std::vector<uint8_t>& data);

extern std::atomic<int32_t> RunFlag;
extern int32_t DataType;
extern std::vector<TransferCommand> CommandList;

// --- VTD files
enum class TVtdMode { Declaration, ClearCard };
int WriteVtdFile(const char* fileName, TVtdMode mode);

struct TOrderRow {
    bool Write = false;
    std::string Command; // hex text without spaces
    std::string Data;    // CMDResponse, spaces removed
};
// False when the text is unusable (no rows, a malformed row or XML); rows holds the pending rows in order.
bool ParseOrderXml(const std::string& text, std::vector<TOrderRow>& rows);
