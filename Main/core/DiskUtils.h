#pragma once
// Runs a disk script against the tax disk: placeholders resolved by the disk type, one group of template
// commands per stored invoice, every answer written back into the script file, and the taxpayer
// identifier the disk reports kept in DiskTaxpayerID.
#include <string>

class TVirtualTable;

class TDiskUtils {
public:
    // The taxpayer identifier read by the last run that held command 6a.
    std::string DiskTaxpayerID;
    // Where the verification value of "{VERIFY_PARAM}" is configured: [Disk] VerifyParam4 (disk type
    // "D3 D4", 8 hex digits) and VerifyParam2 (other types, 4 hex digits). Empty: the program's ini file.
    std::string IniFileName;

    static constexpr const char* kDiskTypeD3D4 = "D3 D4";
    static constexpr const char* kDiskTypeCommand = "fc ff cc bc  53 e1 7d";

    // Runs the script file and saves the answers into it. False on failure: a disk that cannot be opened
    // or a malformed script (message shown, file untouched), a failed fixed row (no message, file
    // untouched), a failed invoice row (no message, the rows done so far saved).
    bool ReadDisk(const std::string& fileName);

    static std::string ReplaceCommand(const std::string& diskType, const std::string& text);
    // "{VERIFY_PARAM}" needs the configured value: raises EdsError when it is missing or malformed.
    std::string ReplaceParam(const std::string& diskType, const std::string& text) const;
    // The third line of the answer's text, in decimal; 0 without one. A line that is no number raises
    // EdsError.
    static int GetInvoiceCount(const std::string& answer);
    // Entered on the template marker row.
    bool ReadInvoices(const std::string& diskType, int count, TVirtualTable& table);
    // Eight hex digits, byte order reversed: 1 -> "01000000", 300 -> "2C010000".
    static std::string IndexToHex(int index);

private:
    bool RunRows(TVirtualTable& table);
    bool invoiceRowsChanged_ = false;
    std::string VerifyParam(const std::string& diskType) const;
};

// The one object of the process, created on first use.
TDiskUtils& GetDiskUtils();
