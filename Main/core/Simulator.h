#pragma once
// The device simulator of debug mode: answers of the card, the disk and the server's step files,
// from "Request_Response.xml" beside the program. One object per process, loaded once.
#include <string>
#include <utility>
#include <vector>

class TSimulator {
public:
    // Loads nothing; see LoadTables.
    TSimulator() = default;

    // Reads the tables from the file in folder (with trailing "/"). A missing file leaves them empty; a
    // missing section is skipped.
    void LoadTables(const std::string& folder);

    // The answer data for the APDU (the data field of the block); "90 00" when there is none.
    std::string GetCardResponse(const std::string& apdu) const;
    // The Disk entry of command + param; else the Card entry of command + "*"; else "00 00".
    std::string GetDiskResponse(const std::string& command, const std::string& param) const;
    // The file standing for the server's answer of the step; empty when there is none.
    std::string GetDownloadFileName(const std::string& stepCode) const;

    using TTable = std::vector<std::pair<std::string, std::string>>;
    const TTable& CardTable() const { return cardTable_; }
    const TTable& DiskTable() const { return diskTable_; }
    const TTable& DownloadTable() const { return downloadTable_; }

    // Where GetSimulator looks for the file: the program's folder unless a test sets another (empty
    // text restores the program's folder). Takes effect at the next creation.
    static void SetFolder(const std::string& folder);
    static std::string Folder();

private:
    // First entry whose name matches regardless of letter case.
    static bool Find(const TTable& table, const std::string& name, std::string& value);

    // Name and value kept apart, so a name containing "=" is still found whole.
    TTable cardTable_;
    TTable diskTable_;
    TTable downloadTable_;
};

// Created with its tables on first use, kept until the end of the program.
TSimulator* GetSimulator();
// Drops the object so the next GetSimulator loads afresh (tests).
void FreeSimulator();
