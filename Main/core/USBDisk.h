#pragma once
// The main program's door to the USB tax disk: one disk-script line (command, parameter, direction as
// text) becomes one pass-through call of Quillon, and the bytes read come back as hex text. In debug mode
// the answers come from the device simulator and the device is not touched.
#include <string>

class TUSBDisk {
public:
    static constexpr size_t kBufferSize = 4096;

    // True when Quillon found and opened the disk. Callers skip it in debug mode.
    static bool OpenDisk();
    // Quillon's close result, which every caller ignores.
    static int CloseDisk();
    // One command. Direction "0" reads up to 4096 bytes into response ("D3 D4" form), "1" writes the
    // parameter bytes (response empty). False with an empty response when the call does not go through.
    // A parameter over 4096 bytes or a direction other than "0" and "1" raises EdsError with the message.
    static bool SendCommand(const std::string& command, const std::string& param,
                            const std::string& direction, std::string& response);
    // Spaces removed, each pair of characters one byte (a pair that is no hex gives 0); an odd last
    // character is dropped.
    static std::string HexToStr(const std::string& hex);
    // " XX" per byte, upper case; dropLeadingSpace removes the first space.
    static std::string StrToHex(const std::string& bytes, bool dropLeadingSpace);
};
