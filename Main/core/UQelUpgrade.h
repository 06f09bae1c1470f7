#pragma once
// The online upgrade: asks the platform server whether a newer client exists ("UpdateSoft.do"), fetches
// the package piece by piece from the server (resumable through QelUpgrade.tmp) or from the address the
// server names (TdsDownloader), unpacks it into the upgrade folder, checks its MD5 digest, starts the
// updater from the package and ends the client.
#include "UdsHTTP.h"
#include "UdsXMLParser.h"

#include <cstdint>
#include <string>

struct TUpgradeParams {
    std::string Server; // the platform client's MainServer
    std::string SubDomain;
    std::string TaxpayerID;
    std::string Password; // current network password
    std::string ProgramVersion;
    std::string UpgradeFolder; // "Upgrade" of the base folder, with trailing "/"
};

struct TUpgradePackInfo {
    bool HasNewVersion = false;
    std::string NewVersion;
    std::string URL; // decoded; empty: fetch the pieces from the server
    std::string UpgradeIndex;
    int64_t FileLength = 0;
    std::string FileMD5; // empty: not checked
};

struct TUpgradeDownInfo {
    std::string UpgradeIndex;
    int64_t FileLength = 0;
    int64_t ReceivedUpTo = -1; // position of the last byte received
};

class TQelUpgrade : public TdsHTTP {
public:
    static constexpr int kPieceSize = 20480;
    static constexpr int kHeaderSize = 40;
    static constexpr const char* kTempName = "QelUpgrade.tmp";
    static constexpr const char* kPackageName = "QelUpgrade.zip";
#ifdef _WIN32
    static constexpr const char* kUpdaterName = "QelUpgrade.exe";
#else
    static constexpr const char* kUpdaterName = "QelUpgrade";
#endif

    explicit TQelUpgrade(const TUpgradeParams& params);

    TUpgradeParams Params;
    TdsXMLNode ResultNode;
    TdsXMLNode DataNode;
    TdsXMLParser Parser;
    std::string RequestName = "UpdateSoft.do";

    // True when a package was unpacked, passed its digest check and the updater was started; the client
    // has then been asked to end.
    bool CheckUpgrade(void* ownerWindow, bool showMessages);
    bool GetUpgradeInfo(void* ownerWindow, TUpgradePackInfo& info);
    // Fetches the package into QelUpgrade.zip of the upgrade folder, resuming an interrupted download of
    // the same package.
    bool DownloadPieces(void* ownerWindow, const std::string& upgradeIndex, std::string& packageFile,
                        int64_t fileLength);

    // The 40-byte header of QelUpgrade.tmp, and back; false when the bytes are no such header.
    static std::string FormatDownHeader(const TUpgradeDownInfo& info);
    static bool ParseDownHeader(const std::string& bytes, TUpgradeDownInfo& info);

private:
    // The six identification lines, each ending in CR LF.
    std::string BaseHeaders() const;
    bool Send(void* ownerWindow, const std::string& extraLines, std::string& errorText);
    // RESULT and DATA of the answer; true for RESULTVALUE "0". A refusal shows RESULTMESSAGE only.
    bool ParseAnswer();
    void StopBusy();
};
