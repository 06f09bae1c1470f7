#pragma once
// The resumable multi-threaded downloader: ten pieces of a file fetched with byte ranges by up to
// ThreadCount threads, each piece's tasks kept in a piece file of the working folder so that an
// interrupted download resumes where it stopped. A server that ignores ranges is read in one stream.
#include <cstdint>
#include <functional>
#include <string>

class TdsBusyForm;

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

    // True unless cancelled or the download information could not be obtained (then an error box).
    bool Execute();
    std::string TargetFile() const;
};
