// The reader library over PC/SC: each request block is unwrapped, its APDU sent to the card with
// SCardTransmit, and the answer wrapped as a block again. Reader trouble is answered with the 50xx
// codes in the data field, so the main program shows its own messages; a nonzero result is kept for
// requests this library cannot even read.
#include "QEL_CardReader.h"

#include "CardReaderBlock.h"
#include "CardReaderPlatform.h"

#include <winscard.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

enum TReaderCode {
    rcOk = 9000,
    rcNoCard = 5001,
    rcCardError = 5002,
    rcUsbError = 5003,
    rcCommunication = 5004,
    rcUnresponsive = 5005,
    rcProtocol = 5006,
    rcTimeout = 5007,
    rcRemoved = 5008,
};

struct TReaderState {
    SCARDCONTEXT Context = 0;
    bool Open = false;
    std::string Reader;
    // A session runs from the first card exchange to the command AA or AB. A card removed within it
    // (also when put back) spoils it: the card's state is lost.
    bool SessionActive = false;
    unsigned long SessionEvents = 0;
    bool Removed = false;
};

TReaderState& State() {
    static TReaderState state;
    return state;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The reader asked for: the environment first, then [Reader] Name= in the file beside the library.
std::string ConfiguredReader() {
    if (const char* env = std::getenv("QEL_CARDREADER_READER"); env && *env)
        return env;
    std::ifstream in(qel::LibraryFolder() + "QEL_CardReader.ini");
    std::string line, section;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            section = Trim(line.substr(1, line.size() - 2));
            continue;
        }
        auto eq = line.find('=');
        if (eq != std::string::npos && SameText(section, "Reader") &&
            SameText(Trim(line.substr(0, eq)), "Name"))
            return Trim(line.substr(eq + 1));
    }
    return "";
}

std::vector<std::string> ListReaders(SCARDCONTEXT context) {
    DWORD size = 0;
    if (SCardListReaders(context, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0)
        return {};
    std::vector<char> names(size);
    if (SCardListReaders(context, nullptr, names.data(), &size) != SCARD_S_SUCCESS)
        return {};
    std::vector<std::string> readers;
    for (const char* p = names.data(); *p; p += std::strlen(p) + 1)
        readers.emplace_back(p);
    return readers;
}

// The reader's state without waiting; false when the reader is gone or the service unreachable.
bool ReaderStatus(const std::string& reader, bool& present, unsigned long& events) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = SCardGetStatusChange(State().Context, 0, &state, 1);
    if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT)
        return false;
    if (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE))
        return false;
    present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    // pcsc-lite counts card insertions and removals in the upper word.
    events = (state.dwEventState >> 16) & 0xFFFF;
    return true;
}

int ConnectError(LONG rv) {
    switch (rv) {
    case SCARD_E_NO_SMARTCARD:
    case SCARD_W_REMOVED_CARD:
        return State().SessionActive ? rcRemoved : rcNoCard;
    case SCARD_W_UNPOWERED_CARD:
    case SCARD_W_UNRESPONSIVE_CARD:
        return rcUnresponsive;
    case SCARD_E_PROTO_MISMATCH:
    case SCARD_W_UNSUPPORTED_CARD:
        return rcProtocol;
    case SCARD_E_TIMEOUT:
        return rcTimeout;
    case SCARD_E_READER_UNAVAILABLE:
    case SCARD_E_UNKNOWN_READER:
    case SCARD_E_NO_SERVICE:
    case SCARD_E_SERVICE_STOPPED:
    case SCARD_E_NO_READERS_AVAILABLE:
        return rcUsbError;
    case SCARD_E_NOT_TRANSACTED:
    case SCARD_F_COMM_ERROR:
    case SCARD_W_RESET_CARD:
        return rcCommunication;
    default:
        return rcCardError;
    }
}

// One APDU to the card: the reader code, or rcOk with the card's answer in answer.
int SendApdu(const std::string& apdu, std::string& answer) {
    TReaderState& s = State();
    bool present = false;
    unsigned long events = 0;
    if (!ReaderStatus(s.Reader, present, events))
        return rcUsbError;
    if (s.SessionActive && (!present || events != s.SessionEvents))
        s.Removed = true;
    if (s.Removed)
        return rcRemoved;
    if (!present)
        return rcNoCard;

    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    LONG rv = SCardConnect(s.Context, s.Reader.c_str(), SCARD_SHARE_SHARED,
                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        int code = ConnectError(rv);
        if (code == rcRemoved)
            s.Removed = true;
        return code;
    }
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    std::vector<unsigned char> buffer(258 + 2);
    DWORD length = static_cast<DWORD>(buffer.size());
    rv = SCardTransmit(card, pci, reinterpret_cast<const unsigned char*>(apdu.data()),
                       static_cast<DWORD>(apdu.size()), nullptr, buffer.data(), &length);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    if (rv != SCARD_S_SUCCESS) {
        int code = ConnectError(rv);
        if (code == rcRemoved)
            s.Removed = true;
        return code;
    }
    if (length < 2)
        return rcCommunication;
    if (length > 255)
        return rcProtocol;
    answer.assign(reinterpret_cast<const char*>(buffer.data()), length);
    if (!s.SessionActive) {
        s.SessionActive = true;
        s.SessionEvents = events;
    }
    return rcOk;
}

void EndSession() {
    TReaderState& s = State();
    s.SessionActive = false;
    s.Removed = false;
}

void ReleaseContext() {
    TReaderState& s = State();
    if (s.Open)
        SCardReleaseContext(s.Context);
    s.Open = false;
    s.Context = 0;
}

} // namespace

extern "C" {

QEL_CARDREADER_API unsigned char BRINDLE_STDCALL QEL_K417_Open(void) {
    ReleaseContext();
    TReaderState& s = State();
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &s.Context) != SCARD_S_SUCCESS)
        return 0;
    s.Open = true;
    std::vector<std::string> readers = ListReaders(s.Context);
    std::string wanted = ConfiguredReader();
    std::string chosen;
    if (!wanted.empty()) {
        // The configured name, whole or as the start of a reader's name (PC/SC adds slot numbers).
        for (const std::string& r : readers)
            if (r == wanted || r.compare(0, wanted.size(), wanted) == 0) {
                chosen = r;
                break;
            }
    } else {
        for (const std::string& r : readers) {
            bool present = false;
            unsigned long events = 0;
            if (ReaderStatus(r, present, events) && present) {
                chosen = r;
                break;
            }
        }
        if (chosen.empty() && !readers.empty())
            chosen = readers.front();
    }
    if (chosen.empty()) {
        ReleaseContext();
        return 0;
    }
    if (chosen != s.Reader)
        EndSession();
    s.Reader = chosen;
    return 1;
}

QEL_CARDREADER_API int BRINDLE_STDCALL QEL_K417_UsbOpt(const char* request, char* response) {
    if (!request || !response)
        return QEL_K417_BAD_ARGUMENT;
    qel::TRequestBlock block;
    if (!qel::ParseRequest(request, block))
        return QEL_K417_BAD_BLOCK;
    if (!State().Open)
        return QEL_K417_NOT_OPEN;

    std::string answer;
    int code = rcOk;
    if (block.Data == "\xAA") {
        // Resynchronisation: a fresh session, nothing sent to the card.
        EndSession();
    } else if (block.Data == "\xAB") {
        // End of the session: tells whether the card stayed in throughout.
        TReaderState& s = State();
        bool present = false;
        unsigned long events = 0;
        if (s.SessionActive &&
            (!ReaderStatus(s.Reader, present, events) || !present || events != s.SessionEvents))
            s.Removed = true;
        code = s.Removed ? rcRemoved : rcOk;
        EndSession();
    } else if (block.Data == "\xAC") {
        // Nothing to do at this reader.
    } else {
        code = SendApdu(block.Data, answer);
    }
    if (code != rcOk || answer.empty())
        answer = qel::CodeBytes(code);
    std::string hex = qel::BuildAnswer(block, answer);
    std::memset(response, 0, QEL_K417_RESPONSE_SIZE);
    std::memcpy(response, hex.data(),
                hex.size() < QEL_K417_RESPONSE_SIZE ? hex.size() : QEL_K417_RESPONSE_SIZE - 1);
    return 0;
}

QEL_CARDREADER_API int BRINDLE_STDCALL QEL_K417_Close(void) {
    ReleaseContext();
    return 0;
}

} // extern "C"
