#pragma once
// The declaration business. This unit holds the card block exchange the declaration scripts run on;
// the declaration flows build on it.
#include "UBusiness.h"

#include <string>

class TDeclareBiz : public TBusiness {
public:
    TDeclareBiz() = default;
    ~TDeclareBiz() override = default;

    // The last block, without blanks, that went out with a working transport; the PCB alternation
    // continues from it.
    std::string LastBlock;
    // Swallows the next card-level error once (set by the script runner).
    bool IgnoreNextError = false;

    // "12" + PCB + LEN + APDU + LRC; PCB alternates 00/40 and restarts at 00 after the command AA.
    std::string BuildBlock(const std::string& apdu) const;
    // One block to the card (or the simulator in debug mode). data: the answer's data field; response:
    // the whole answer block. Errors are shown in an error box.
    bool SendBlock(const std::string& block, std::string& data, std::string& response);
    bool SendApdu(const std::string& apdu, std::string& data, std::string& response);
};
