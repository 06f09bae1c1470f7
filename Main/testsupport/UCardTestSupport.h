#pragma once
// Card reader fixtures: a scripted reader that stands in for the reader library inside one test, and
// the real stand of pcscd with the vpcd driver and the virtual tax IC card on loopback.
#include "USBCard.h"

#include <deque>
#include <string>
#include <vector>

// Installs itself as TUSBCard's reader calls for its lifetime; answers UsbOpt from a script.
class TScriptedReader {
public:
    struct TAnswer {
        int Result = 0;
        std::string Text; // what the buffer receives
    };

    TScriptedReader();
    ~TScriptedReader();
    TScriptedReader(const TScriptedReader&) = delete;
    TScriptedReader& operator=(const TScriptedReader&) = delete;

    // The next UsbOpt answers, in order; past the script every block gets the data 9000.
    void Answer(const std::string& text, int result = 0) { answers_.push_back({result, text}); }
    // An answer block around the data (hex, blanks allowed), with NAD 12, the PCB 00 and a right LRC.
    static std::string Block(const std::string& data, const std::string& pcb = "00");

    bool OpenResult = true;
    bool CloseRaises = false;
    int Opens = 0;
    int Closes = 0;
    std::vector<std::string> Requests;
    int Calls() const { return Opens + Closes + static_cast<int>(Requests.size()); }

private:
    TCardReaderApi previous_;
    std::deque<TAnswer> answers_;
};

// pcscd in the foreground with its own reader configuration (vpcd on a free loopback port) and the
// virtual card connected to it. pcscd's client socket is system-wide, so stands of parallel test
// processes take turns through a lock file. Start() fails (with a reason) when pcscd cannot start.
class TCardStand {
public:
    TCardStand();
    ~TCardStand();
    TCardStand(const TCardStand&) = delete;
    TCardStand& operator=(const TCardStand&) = delete;

    // scenario: the JSON text of a scenario file; empty takes tools/scenarios/default.json. Waits until
    // the card is in the reader.
    bool Start(const std::string& scenario, std::string& error);
    void Stop();

    // One command of the virtual card's control socket ("remove", "insert", "fault {...}", "clear",
    // "count"); its answer line, or "error ..." when the card cannot be reached.
    std::string Control(const std::string& command);
    // Waits until pcscd reports the card present (or absent).
    bool WaitCard(bool present, int timeoutMs = 5000);
    std::string ReaderName() const { return "Virtual PCD 00 00"; }
    std::string Log() const;

private:
    std::string folder_;
    int lockFd_ = -1;
    int pcscdPid_ = -1;
    int cardPid_ = -1;
    int port_ = 0;
};
