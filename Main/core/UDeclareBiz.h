#pragma once
// The declaration business: the card block exchange the declaration scripts run on, the working files
// of a declaration (scripts and packages), the declaration records and the card script runner. The
// flows build on it. Record operations live in UDeclareRecords.cpp, the runner in UCardScriptRunner.cpp.
#include "UBusiness.h"

#include <string>

class TdsDataSet;
class TVirtualTable;
class TProgressFrame;

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

    // ---- Working files (temporary folder; <T> taxpayer, <G> a new GUID text per file) ----

    // Empties the temporary folder and the taxpayer temporary folder, then copies res/BS_Card.vtd to a
    // new "KDR_Card_<T><G>.vtd". A missing template leaves no file; the path is returned all the same
    // and loading it fails later.
    std::string PrepareDeclareCardFile();
    // Copies res/BS_Disk_<step>.vtd to a new "KDR_Disk_<step>_<T><G>.vtd". A missing template raises
    // EdsError (the declaration stops with that report).
    std::string PrepareDeclareDiskFile(const std::string& step);
    // The upload package "KDR<T><G>.dat" in the temporary folder: a zip of the card script, then the
    // disk script. A packing failure leaves no package under the returned name.
    std::string PackDeclareFiles(const std::string& stepCode, const std::string& cardFile,
                                 const std::string& diskFile);
    // The clear-card package beside the card file: "KDR" + the card file's name from its tenth
    // character on, extension ".dat".
    std::string PackUnlockFiles(const std::string& stepCode, const std::string& cardFile,
                                const std::string& diskFile);
    // The "{ID}" answer from character 5, as long as TaxpayerID; TaxpayerID itself in debug mode.
    std::string ReadCardTaxpayerID(const std::string& cardFile);
    // The "{IC}" answer, 14 characters from character 33.
    std::string ReadCardNumber(const std::string& cardFile);
    // Empties the temporary folder, then the taxpayer temporary folder.
    static void ClearTempFolders();

    // ---- Declaration records (KDR_DeclareInfo of the taxpayer database) ----

    bool AddDeclaration(const std::string& mediaNumber, const std::string& acceptID);
    // False only when the query failed; without a row all outputs are empty / false.
    bool GetLatestDeclaration(const std::string& mediaNumber, std::string& acceptID, bool& sameMonth,
                              std::string& unlockTime, std::string& declareTime);
    bool FindOpenDeclaration(const std::string& mediaNumber, std::string& acceptID);
    // True when an open record of that number was closed.
    bool SetUnlockTime(const std::string& acceptID);
    bool DiscardOpenDeclarations(const std::string& mediaNumber);
    // The records of the current medium kind, optionally narrowed by a condition on alias H.
    bool QueryDeclarations(TdsDataSet& target, const std::string& condition = "");

    // ---- Card script runner ----

    // Executes the pending rows of a card script, saving the file after every executed row. A script
    // that cannot be loaded or saved raises EdsError.
    bool RunCardScript(const std::string& fileName);
    // The closing "AB" of a card session; a failure is reported and otherwise ignored.
    void EndCardSession();

    // ---- Regular declaration (BS201..BS203); implemented in UDeclareSteps.cpp ----

    // Fills CardNumber/CardCaption/DiskNumber/DiskCaption of the global state from the card register
    // (the chooser when two or more cards are registered); false when the chooser was cancelled.
    bool ChooseCardAndDisk();
    // The 30-minute rule for an earlier declaration (acceptance number, "yyyy-mm-dd hh:nn:ss").
    bool CheckResubmitAllowed(const std::string& acceptID, const std::string& declareTime);
    bool RunRegularDeclaration(TProgressFrame& frame, std::string& acceptID);
    bool RunDiskScript(const std::string& diskFile);
    bool CheckCardTaxpayer(const std::string& cardFile);
    bool UploadStep(const std::string& packageFile, const std::string& stepCode, std::string& acceptID);
    bool PollStepAnswer(const std::string& acceptID, const std::string& stepCode, bool& retry,
                        std::string& answer);
    bool WaitDeclareAnswer(TProgressFrame& frame, const std::string& stepCode, const std::string& acceptID,
                           std::string& answer, bool& retry);

    // What the card or disk reported against what the database holds, kept in the application log so a
    // mismatch can be traced (Base64, so odd bytes from a device survive the log).
    static void LogMismatch(const std::string& fromFile, const std::string& fromDatabase);

    // ---- Clear-card unlock (QK201..QK203); UDeclareUnlock.cpp ----

    bool FetchClearCardInfo(void* ownerWindow, const std::string& stepCode, bool& retry, std::string& answer);
    bool RunClearCardUnlock(void* ownerWindow, TProgressFrame& frame, std::string& acceptID);
    bool RunUnlockSteps(void* ownerWindow, TProgressFrame& frame, std::string& answer, std::string& acceptID);

    // ---- Result query and one-window comparison; UDeclareResult.cpp ----

    bool FetchDeclareResult(void* ownerWindow, const std::string& acceptID, std::string& answer);
    // True only when the result dialog was closed with "开始清卡" (offered when fromUnlock).
    bool QueryDeclareResult(void* ownerWindow, const std::string& mediaNumber, bool fromUnlock);
    bool WaitComparison(void* ownerWindow, const std::string& acceptID);

private:
    bool RunScriptRows(TVirtualTable& table, const std::string& fileName);
    // A row's request, or the DEBUG substitute for rows after the fourth.
    static std::string ScriptRequest(const std::string& request, int rowNumber);
};
