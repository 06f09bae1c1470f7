#pragma once
// The tax IC card in its USB reader: one block of the card protocol per exchange, through the reader
// library QEL_CardReader (linked at load time). Nothing stays open between two exchanges.
#include <functional>
#include <string>

// The three calls of the reader library. Production uses the linked exports; tests install their own
// to force answers without a reader.
struct TCardReaderApi {
    std::function<bool()> Open;
    // request: upper-case hex block; response: a zero-filled buffer of ResponseSize bytes.
    std::function<int(const char* request, char* response)> UsbOpt;
    // May raise; the caller guards it.
    std::function<void()> Close;

    static constexpr int ResponseSize = 1025;
    // The linked library's functions.
    static TCardReaderApi Library();
};

class TUSBCard {
public:
    // Debug mode: true without touching the library.
    static bool OpenReader();
    // Debug mode: true. Else false only when the close raised.
    static bool CloseReader();
    // Blanks removed; LEN from characters 5-6; the data field, or the PCB when LEN is 0. Empty when the
    // block is too short to hold LEN or LEN is not hex.
    static std::string GetBlockData(const std::string& block);
    // One block out and the checks of its answer. False only when the transport failed; card-level
    // errors come back in message with the result true.
    static bool Transmit(bool skipStatusCheck, const std::string& request, std::string& response,
                         std::string& message);
    // Open, Transmit, Close (also when Transmit raised).
    static bool Exchange(const std::string& request, std::string& response, std::string& message);

    // The message of a four-digit status code; empty for 9000.
    static std::string StatusCodeText(const std::string& code);

    // The calls in use; SetApi returns the previous ones.
    static TCardReaderApi SetApi(TCardReaderApi api);
    static const TCardReaderApi& Api();
};
