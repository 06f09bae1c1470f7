// The card script runner of TDeclareBiz: executes the pending rows of a server-written card script
// through SendApdu and saves the script after every executed row, so an interrupted run leaves the rows
// done so far marked (SaveToFile replaces the file by rename: never half a file).
#include "UDeclareBiz.h"

#include "UGlobal.h"
#include "UVirtualTable.h"
#include "UdsHexUtils.h"
#include "UdsStrUtils.h"

#include <cstdio>

namespace {

constexpr const char* kChallenge = "00 84 00 00 08";
constexpr const char* kRecordCount = "00 B0 00 84 02";
constexpr const char* kDebugRequest = "00 A4 00 00 02 3F 00";
constexpr const char* kDebugRecordCount = "02 00 90 00";
// Records of the record file are 45 bytes; the script itself reads the first six.
constexpr int kRecordSize = 45;
constexpr int kScriptRecords = 6;
constexpr int kFirstOffset = 0x0194;
constexpr int kLongRead = 180;

bool DebugRunMode() {
    return Global && TdsStrUtils::SameText(Global->RunMode, "DEBUG");
}

std::string Text(TVirtualTable& table, const char* field) {
    int index = table.FieldIndex(field);
    return index < 0 ? std::string() : table.Field(index).AsString();
}

// Writes the fields of the current row and posts.
void SetRow(TVirtualTable& table, const std::string& status, const std::string* response) {
    table.Edit();
    table.FieldByName("ExecStatusC").SetAsString(status);
    if (response)
        table.FieldByName("CMDResponse").SetAsString(*response);
    table.Post();
}

// The count C of the record-count answer: its first two bytes, low byte first; 0 when unreadable.
int RecordCount(const std::string& answer) {
    std::string hex;
    for (char c : answer)
        if (c != ' ')
            hex += c;
    if (hex.size() < 4)
        return 0;
    std::string bytes;
    if (!TdsHexUtils::HexToBytes(hex.substr(0, 4), bytes) || bytes.size() != 2)
        return 0;
    return static_cast<unsigned char>(bytes[0]) + 256 * static_cast<unsigned char>(bytes[1]);
}

std::string ReadRequest(int offset, int length) {
    char text[16];
    std::snprintf(text, sizeof text, "00B0%04X%02X", static_cast<unsigned>(offset & 0xFFFF),
                  static_cast<unsigned>(length & 0xFF));
    return text;
}

} // namespace

std::string TDeclareBiz::ScriptRequest(const std::string& request, int rowNumber) {
    return DebugRunMode() && rowNumber > 4 ? kDebugRequest : request;
}

bool TDeclareBiz::RunCardScript(const std::string& fileName) {
    IgnoreNextError = false;
    // A skip that no row consumed must not swallow a card error of the session's closing command.
    struct TClearSkip {
        bool& flag;
        ~TClearSkip() { flag = false; }
    } clearSkip{IgnoreNextError};
    TVirtualTable table;
    table.LoadFromFile(fileName);
    return RunScriptRows(table, fileName);
}

bool TDeclareBiz::RunScriptRows(TVirtualTable& table, const std::string& fileName) {
    std::string data, response;
    bool pastEnd = true;
    table.First();
    while (!table.Eof()) {
        std::string status = TdsStrUtils::Trim(Text(table, "ExecStatusC"));
        int row = table.RecNo();
        if (status.empty() || status == "1") {
            table.Next();
        } else if (status == "0" || status == "63") {
            data.clear();
            if (!IgnoreNextError) {
                if (status == "63")
                    IgnoreNextError = true;
                if (!SendApdu(ScriptRequest(Text(table, "CMDRequest"), row), data, response))
                    return false;
            } else {
                // The successful "63" before this row makes it skip: nothing is sent.
                IgnoreNextError = false;
            }
            SetRow(table, "1", status == "63" ? nullptr : &data);
            table.SaveToFile(fileName);
            table.Next();
        } else if (status == "15" || status == "1D") {
            // The whole group, top to bottom from here; rows between stay for their own turn.
            for (int member = row; member <= table.RecordCount(); ++member) {
                table.SetRecNo(member);
                if (TdsStrUtils::Trim(Text(table, "ExecStatusC")) != status)
                    continue;
                if (!SendApdu(ScriptRequest(Text(table, "CMDRequest"), member), data, response))
                    return false;
                SetRow(table, "1", &data);
                table.SaveToFile(fileName);
            }
            table.SetRecNo(row);
        } else if (status == "-1") {
            // The server needs a fresh challenge to compute what follows: fetch it and hand back.
            SetRow(table, "0", nullptr);
            for (table.First(); !table.Eof(); table.Next()) {
                if (Text(table, "CMDRequest") != kChallenge)
                    continue;
                if (!SendApdu(kChallenge, data, response))
                    return false;
                SetRow(table, Text(table, "ExecStatusC"), &data);
                table.SaveToFile(fileName);
                break;
            }
            table.SetRecNo(row);
            pastEnd = false;
            break;
        } else {
            // Unknown to this client: the rest goes back to the server as it is.
            pastEnd = false;
            break;
        }
    }

    if (pastEnd && table.RecordCount() > 0) {
        table.Last();
        if (TdsStrUtils::Trim(Text(table, "CMDRequest")) == kRecordCount) {
            int count = RecordCount(DebugRunMode() ? kDebugRecordCount : Text(table, "CMDResponse"));
            int remaining = kRecordSize * count - kRecordSize * kScriptRecords;
            int offset = kFirstOffset;
            while (remaining > 0) {
                int length = remaining >= kLongRead ? kLongRead : kRecordSize;
                std::string request = ReadRequest(offset, length);
                if (!SendApdu(request, data, response))
                    return false;
                table.Append();
                table.FieldByName("ExecStatusC").SetAsString("1");
                table.FieldByName("CMDRequest").SetAsString(request);
                table.FieldByName("CMDResponse").SetAsString(data);
                table.FieldByName("ExecStatusS").SetAsString("0");
                table.Post();
                table.SaveToFile(fileName);
                offset += length;
                remaining -= length;
            }
        }
    }
    table.SaveToFile(fileName);
    return true;
}

void TDeclareBiz::EndCardSession() {
    std::string data, response;
    SendApdu("AB", data, response);
}
