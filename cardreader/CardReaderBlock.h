#pragma once
// The block form the main program speaks: NAD (12) PCB LEN data LRC, as upper-case hex text.
#include <string>

namespace qel {

struct TRequestBlock {
    unsigned char Nad = 0;
    unsigned char Pcb = 0;
    std::string Data; // the bytes of the data field
};

// False for anything but upper-case hex of NAD 12, a PCB, a LEN matching the data field (at least one
// byte) and the XOR of the preceding bytes as LRC.
bool ParseRequest(const std::string& hex, TRequestBlock& block);
// The answer block: the request's NAD and PCB, LEN, the data, LRC; upper-case hex. Data longer than 255
// bytes cannot be framed: the caller answers a reader code instead.
std::string BuildAnswer(const TRequestBlock& request, const std::string& data);
// Four decimal digits as the two bytes of a reader code ("5001" gives the bytes 50 01).
std::string CodeBytes(int code);

} // namespace qel
