#pragma once
// The resumable multi-threaded downloader: ten pieces of a file fetched with byte ranges by up to
// ThreadCount threads, each piece's tasks kept in a piece file of the working folder so that an
// interrupted download resumes where it stopped. A server that ignores ranges is read in one stream.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class TdsBusyForm;

// One piece of the layout: an inclusive byte range (-1, -1 when empty) cut into tasks.
struct TdsDownloadPiecePlan {
    int64_t StartPos = -1;
    int64_t EndPos = -1;
    int64_t TotalSize = 0;
    std::vector<std::pair<int64_t, int64_t>> Tasks; // inclusive StartPos, EndPos
};

class TdsDownloader {
public:
    TdsDownloader();
    ~TdsDownloader();
    TdsDownloader(const TdsDownloader&) = delete;
    TdsDownloader& operator=(const TdsDownloader&) = delete;

    std::string URL;
    // Target name; empty: the name the server reports, else "temp.dat".
    std::string FileName;
    // Working folder (state document, piece files, target); empty or missing: "Temp" of the program's
    // folder, created when missing.
    std::string Folder;
    int ThreadCount = 2;
    bool ShowProgress = true;
    std::string Caption = "正在下载";
    void* OwnerWindow = nullptr;
    // The busy indicator shown while downloading (null: none); its cancel button cancels.
    TdsBusyForm* BusyForm = nullptr;
    std::function<void(int percent)> OnDownloadProgress;

    // Results.
    int64_t DownloadSize = 0;
    int Percent = 0;

    // The server honours byte ranges; the address that serves the file (after redirects and an HTML
    // indirection), and the Referer sent along when the address came from an HTML page.
    bool RangeSupported = true;
    std::string SourceURL;
    std::string Referer;
    // The text of the last failure (also shown in an error box).
    std::string ErrorText;

    // True unless cancelled or the download failed (then an error box: no download information, the
    // server stopped serving the missing tasks, the stream broke off, the merge failed). A true result
    // with Percent 100 means the target file is complete.
    bool Execute();
    std::string TargetFile() const;

    // The ten pieces of a file of size bytes.
    static std::vector<TdsDownloadPiecePlan> PlanPieces(int64_t size);
    static constexpr int kPieceCount = 10;
    static constexpr int64_t kTaskSize = 65536;
};
