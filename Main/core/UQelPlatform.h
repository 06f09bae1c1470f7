#pragma once
// The tax platform's request protocol: the identification headers, the answer envelope and one operation
// per request name. Every operation reports its own failures to the user; processing states of the three
// downloads come back as "RETRY;…" and "ERROR;…" texts, or the path of the file they fetched.
#include "UCommPlatform.h"
#include "UdsXMLParser.h"

#include <string>

class TQelPlatform : public TCommPlatform {
public:
    // The notice service's shared secret when the installation configures none: ini file of the program,
    // section [Notice], key ServiceKey, 15 lower-case ASCII letters or digits.
    static constexpr const char* kDefaultNoticeKey = "lumbranenotices";

    TQelPlatform();

    TdsXMLNode ResultNode;
    TdsXMLNode DataNode;
    std::string OSVersion;
    TdsXMLParser Parser;

    void BuildCommonHeaders() override;
    // Parses ResponseText into ResultNode and DataNode; true only for RESULTVALUE "0". Refusals and
    // unreadable answers are shown (refusals also go to the system log).
    bool ParseAnswer();

    bool UploadData(void* ownerWindow, const std::string& fileName, int& upgradeFlag, std::string& SLXH,
                    const std::string& STEPID, const std::string& EXTNUM, const std::string& EXTCODE,
                    const std::string& ICCODE, const std::string& fileData, long long LENGTH);
    bool DownloadData(void* ownerWindow, const std::string& SLXH, bool& requestFailed,
                      std::string& resultText, const std::string& STEPID);
    bool GetLastClearICInfo(void* ownerWindow, const std::string& STEPID, bool& requestFailed,
                            std::string& resultText);
    bool DownloadBSData(void* ownerWindow, const std::string& SLXH, std::string& resultText);
    bool GetBDJG(void* ownerWindow, const std::string& SLXH, int& BDJG);
    bool GetStatus(void* ownerWindow, bool& busy, int& waitTime);
    bool ChangePwd(void* ownerWindow, const std::string& oldPassword,
                   const std::string& newPassword) override;
    bool QueryInform(void* ownerWindow, int& status, bool showBusy, std::string& errorText);
    bool DownloadNotice(void* ownerWindow, bool showMessages, int& softUpdFlag, int& count);
    // The online upgrade (TQelUpgrade) after the initial-password guard; showMessages true is the menu's
    // mode 1 (no question, "already newest" reported), false mode 2 (asks first, silent when newest).
    // True when a package was unpacked and the updater started: the client is ending.
    bool UpdateSoft(void* ownerWindow, bool showMessages);

    // The notice service's sign-in: NSRSBH "lumbrane", PASSWORD the MD5 of the shared secret.
    void ApplyNoticeIdentity();
    // The configured secret, or kDefaultNoticeKey when none (or no usable one) is configured.
    static std::string NoticeKey();
    static std::string NoticePassword();
    // A notice date as "yyyy-mm-dd"; a text in none of the accepted forms comes back as received.
    static std::string NoticeDate(const std::string& text);

private:
    enum TDownloadKind { dkData, dkClearIC, dkResult };
    // The STATE / ERRCODE / FILENAME / ATTESTRESULT handling of the three downloads after a true parse.
    bool ProcessDownload(TDownloadKind kind, const std::string& SLXH, std::string& resultText);
    // The DATA item, or the empty node after telling the user the answer lacks it.
    TdsXMLNode RequireData(const std::string& name);
    void AddHeader(const std::string& name, const std::string& value);
};
