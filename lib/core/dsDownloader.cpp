// Piece files "0.vtd" … "9.vtd" of the working folder. Little-endian binary, one file per piece:
//
//   header, 48 bytes
//     0  8  "BDLPIECE"
//     8  4  format version (1)
//    12  4  piece number
//    16  8  size of the whole file
//    24  8  StartPos of the piece (-1 when empty)
//    32  8  EndPos of the piece (-1 when empty)
//    40  4  number of tasks n
//    44  4  CRC-32 of bytes 0..43
//   n task records, 56 bytes each
//     0  8  TaskSize
//     8  8  StartPos
//    16  8  EndPos (inclusive)
//    24  8  DataSize
//    32  4  Finished (1 or 0)
//    36  4  reserved (0)
//    40  8  XXH3-64 of the task's Data
//    48  4  reserved (0)
//    52  4  CRC-32 of bytes 0..51 of the record
//   Data: the piece's bytes, each task's at its fixed place (48 + 56 n + StartPos - piece StartPos); the
//   file is created at full length (sparse) so a task never moves.
//
// Completing a task writes its Data and then its record, nothing else: a crash leaves at most that one
// task unfinished or, with a torn write, damaged. Nothing is synced per task; every load checks the
// header and each record's checksum, and the state left by an earlier run has each finished task's Data
// checked against its hash before it is counted; the merge checks every task again before it writes its
// bytes. So whatever the disk lost is fetched again and never merged. Only the merged target is synced
// before the piece files are deleted. (XXH3 rather than CRC-32 for the Data: the merge hashes the whole
// file, and CRC-32 of zlib would cost as much as the download itself on loopback.)
#include "dsDownloader.h"

#include "UdsApplication.h"
#include "UdsBusyForm.h"
#include "UdsClock.h"
#include "UdsDialogs.h"
#include "UdsHTTP.h"
#include "UdsHTTPDownload.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"
#include "UdsSysUtils.h"
#include "UdsXMLParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {

const char* const kInfoFailed = "#%s：获取下载信息失败！";
const char* const kNoResume = "当前资源不支持断点续传，您确定要取消下载吗？";
const char* const kMergeFailed = "合并下载文件失败！";
const char* const kWriteFailed = "写入下载文件失败！";

constexpr int kPieces = TdsDownloader::kPieceCount;
constexpr int64_t kTask = TdsDownloader::kTaskSize;
constexpr int64_t kPieceUnit = kTask * kPieces;
constexpr size_t kHeaderSize = 48;
constexpr size_t kRecordSize = 56;
constexpr char kMagic[8] = {'B', 'D', 'L', 'P', 'I', 'E', 'C', 'E'};
// Attempts in a row that bring no new byte before a piece is given up for this run.
constexpr int kMaxFailedAttempts = 3;
// Rounds of download and merge when the merge finds damaged tasks.
constexpr int kMaxRounds = 3;
constexpr int64_t kFlushChunk = 8 << 20;

uint64_t Hash(const std::string& data) {
    return XXH3_64bits(data.data(), data.size());
}

uint32_t Crc(const void* data, size_t size) {
    return static_cast<uint32_t>(crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

void Put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put64(unsigned char* p, int64_t v) {
    auto u = static_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(u >> (8 * i));
}
uint32_t Get32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
int64_t Get64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return static_cast<int64_t>(v);
}

bool WriteAll(int fd, const void* data, size_t size, off_t offset) {
    return TdsIOUtils::WriteAt(fd, data, size, offset);
}

bool ReadAll(int fd, void* data, size_t size, off_t offset) {
    return TdsIOUtils::ReadAt(fd, data, size, offset) == static_cast<int64_t>(size);
}

struct TTask {
    int64_t TaskSize = 0;
    int64_t StartPos = 0;
    int64_t EndPos = -1;
    int64_t DataSize = 0;
    bool Finished = false;
    uint64_t DataHash = 0;
};

// One piece file, open for reading and updating its tasks in place.
class TPieceFile {
public:
    ~TPieceFile() { Close(); }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // A new file with every task unfinished.
    bool Create(const std::string& file, int id, int64_t fileSize, const TdsDownloadPiecePlan& plan) {
        Close();
        ::unlink(file.c_str());
        fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return false;
        Assign(id, fileSize, plan);
        std::string bytes(kHeaderSize + kRecordSize * tasks_.size(), '\0');
        EncodeHeader(reinterpret_cast<unsigned char*>(&bytes[0]));
        for (size_t i = 0; i < tasks_.size(); ++i)
            EncodeRecord(tasks_[i], reinterpret_cast<unsigned char*>(&bytes[kHeaderSize + kRecordSize * i]));
        if (!WriteAll(fd_, bytes.data(), bytes.size(), 0))
            return false;
        return ::ftruncate(fd_, static_cast<off_t>(DataBase() + static_cast<size_t>(plan.TotalSize))) == 0;
    }

    // Opens an existing file of this piece. False when it is missing or its header does not describe
    // this piece of this file (unusable). A record that is damaged, or a finished task whose Data
    // (checked when verifyData) is short or does not match its checksum, is reset to unfinished on disk;
    // damaged counts them.
    bool Open(const std::string& file, int id, int64_t fileSize, const TdsDownloadPiecePlan& plan,
              bool verifyData, int& damaged) {
        Close();
        damaged = 0;
        fd_ = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        unsigned char h[kHeaderSize];
        if (!ReadAll(fd_, h, kHeaderSize, 0) || std::memcmp(h, kMagic, 8) != 0 || Get32(h + 8) != 1 ||
            Get32(h + 44) != Crc(h, 44) || static_cast<int>(Get32(h + 12)) != id ||
            Get64(h + 16) != fileSize || Get64(h + 24) != plan.StartPos || Get64(h + 32) != plan.EndPos ||
            Get32(h + 40) != plan.Tasks.size()) {
            Close();
            return false;
        }
        Assign(id, fileSize, plan);
        struct stat st {};
        const int64_t length = ::fstat(fd_, &st) == 0 ? st.st_size : 0;
        std::string records(kRecordSize * tasks_.size(), '\0');
        const bool recordsRead =
            records.empty() || ReadAll(fd_, &records[0], records.size(), static_cast<off_t>(kHeaderSize));
        std::string data;
        for (size_t i = 0; i < tasks_.size(); ++i) {
            TTask& t = tasks_[i];
            const auto* r = reinterpret_cast<const unsigned char*>(records.data() + kRecordSize * i);
            bool good = recordsRead && Get32(r + 52) == Crc(r, 52) && Get64(r) == t.TaskSize &&
                        Get64(r + 8) == t.StartPos && Get64(r + 16) == t.EndPos;
            if (good) {
                t.DataSize = Get64(r + 24);
                t.Finished = Get32(r + 32) == 1;
                t.DataHash = static_cast<uint64_t>(Get64(r + 40));
                if (t.Finished) {
                    const int64_t end = static_cast<int64_t>(DataOffset(t)) + t.TaskSize;
                    good = t.DataSize == t.TaskSize && end <= length;
                    if (good && verifyData)
                        good = ReadData(t, data) && Hash(data) == t.DataHash;
                } else if (t.DataSize != 0 || Get32(r + 32) != 0) {
                    good = false;
                }
            }
            if (!good) {
                ++damaged;
                if (!ResetTask(i))
                    return false;
            }
        }
        return true;
    }

    const std::vector<TTask>& Tasks() const { return tasks_; }

    bool ReadData(const TTask& t, std::string& data) const {
        data.resize(static_cast<size_t>(t.TaskSize));
        return data.empty() || ReadAll(fd_, &data[0], data.size(), static_cast<off_t>(DataOffset(t)));
    }

    bool CompleteTask(size_t i, const std::string& data) {
        TTask t = tasks_[i];
        if (static_cast<int64_t>(data.size()) != t.TaskSize)
            return false;
        if (!WriteAll(fd_, data.data(), data.size(), static_cast<off_t>(DataOffset(t))))
            return false;
        t.DataSize = t.TaskSize;
        t.Finished = true;
        t.DataHash = Hash(data);
        if (!WriteRecord(i, t))
            return false;
        tasks_[i] = t;
        return true;
    }

    bool ResetTask(size_t i) {
        TTask t = tasks_[i];
        t.DataSize = 0;
        t.Finished = false;
        t.DataHash = 0;
        if (!WriteRecord(i, t))
            return false;
        tasks_[i] = t;
        return true;
    }

    int64_t FinishedBytes() const {
        int64_t sum = 0;
        for (const auto& t : tasks_)
            if (t.Finished)
                sum += t.DataSize;
        return sum;
    }

private:
    void Assign(int id, int64_t fileSize, const TdsDownloadPiecePlan& plan) {
        id_ = id;
        fileSize_ = fileSize;
        start_ = plan.StartPos;
        end_ = plan.EndPos;
        tasks_.clear();
        for (const auto& [a, b] : plan.Tasks) {
            TTask t;
            t.StartPos = a;
            t.EndPos = b;
            t.TaskSize = b - a + 1;
            tasks_.push_back(t);
        }
    }
    size_t DataBase() const { return kHeaderSize + kRecordSize * tasks_.size(); }
    size_t DataOffset(const TTask& t) const { return DataBase() + static_cast<size_t>(t.StartPos - start_); }

    void EncodeHeader(unsigned char* h) const {
        std::memcpy(h, kMagic, 8);
        Put32(h + 8, 1);
        Put32(h + 12, static_cast<uint32_t>(id_));
        Put64(h + 16, fileSize_);
        Put64(h + 24, start_);
        Put64(h + 32, end_);
        Put32(h + 40, static_cast<uint32_t>(tasks_.size()));
        Put32(h + 44, Crc(h, 44));
    }
    static void EncodeRecord(const TTask& t, unsigned char* r) {
        Put64(r, t.TaskSize);
        Put64(r + 8, t.StartPos);
        Put64(r + 16, t.EndPos);
        Put64(r + 24, t.DataSize);
        Put32(r + 32, t.Finished ? 1 : 0);
        Put32(r + 36, 0);
        Put64(r + 40, static_cast<int64_t>(t.DataHash));
        Put32(r + 48, 0);
        Put32(r + 52, Crc(r, 52));
    }
    bool WriteRecord(size_t i, const TTask& t) {
        unsigned char r[kRecordSize];
        EncodeRecord(t, r);
        return WriteAll(fd_, r, kRecordSize, static_cast<off_t>(kHeaderSize + kRecordSize * i));
    }

    int fd_ = -1;
    int id_ = 0;
    int64_t fileSize_ = 0;
    int64_t start_ = -1;
    int64_t end_ = -1;
    std::vector<TTask> tasks_;
};

// What the state document holds of one piece.
struct TPieceState {
    int64_t TotalSize = 0;
    int64_t StartPos = -1;
    int64_t EndPos = -1;
    int64_t FinishedSize = 0;
    int ThreadID = -1;
    int FailedAttempts = 0;
};

// A download thread for one piece. The user-interface thread owns it and joins it once Ended is set.
struct TWorker {
    int Piece = 0;
    int64_t StartBytes = 0;
    std::atomic<bool> Stop{false};
    std::atomic<bool> Ended{false};
    std::atomic<int64_t> Bytes{0};
    std::string Error; // written before Ended
    std::thread Thread;
};

int RoundPercent(int64_t done, int64_t size) {
    if (size <= 0)
        return done >= 0 && size == 0 ? 100 : 0;
    int p = static_cast<int>(std::llround(static_cast<double>(done) * 100.0 / static_cast<double>(size)));
    if (p >= 100 && done < size)
        p = 99;
    return p;
}

std::string PieceFileName(const std::string& folder, int n) {
    return folder + std::to_string(n) + ".vtd";
}

// The text after "filename=" and an opening double quote, up to the next double quote.
std::string DispositionName(const std::string& disposition) {
    size_t at = disposition.find("filename=");
    if (at == std::string::npos)
        return "";
    std::string rest = disposition.substr(at + 9);
    if (!rest.empty() && rest[0] == '"') {
        rest.erase(0, 1);
        return rest.substr(0, rest.find('"'));
    }
    return TdsStrUtils::Trim(rest.substr(0, rest.find(';')));
}

// The last path segment of the decoded address, without its query.
std::string AddressName(const std::string& address) {
    std::string decoded = URLDecodeUTF8(address);
    decoded = decoded.substr(0, decoded.find('?'));
    std::string host, path;
    SplitURL(decoded, host, path);
    return path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
}

// A name the server suggested may carry folders or "..": only its last part names a file here.
std::string SafeFileName(const std::string& name) {
    std::string n = name;
    size_t slash = n.find_last_of("/\\");
    if (slash != std::string::npos)
        n.erase(0, slash + 1);
    n = TdsStrUtils::Trim(n);
    if (n.empty() || n == "." || n == "..")
        return "";
    return n;
}

void WorkerRun(TWorker* w, std::string sourceURL, std::string extraHeaders, std::string pieceFile,
               int64_t fileSize, TdsDownloadPiecePlan plan) {
    TdsHTTPDownload http;
    http.Connect(sourceURL);
    TPieceFile piece;
    int damaged = 0;
    if (!piece.Open(pieceFile, w->Piece, fileSize, plan, false, damaged)) {
        w->Error = kWriteFailed;
        return;
    }
    int failuresInRow = 0;
    std::string data;
    const auto& tasks = piece.Tasks();
    for (size_t i = 0; i < tasks.size() && !w->Stop.load(); ++i) {
        const TTask t = tasks[i];
        if (t.Finished) {
            w->Bytes += t.TaskSize;
            continue;
        }
        const std::string range = TdsStrUtils::Format("Range: bytes=%d-%d\r\n",
                                                      {std::to_string(t.StartPos), std::to_string(t.EndPos)});
        bool done = false;
        if (http.SendRequest("", range + extraHeaders)) {
            // Anything but the asked range (a whole file, a redirect) is not this task's bytes.
            const std::string expected =
                "bytes " + std::to_string(t.StartPos) + "-" + std::to_string(t.EndPos) + "/";
            if (http.StatusCode == "206" && TdsStrUtils::StartsStr(expected, http.ContentRange())) {
                if (http.ReadBody(data, &w->Stop) && static_cast<int64_t>(data.size()) == t.TaskSize) {
                    if (piece.CompleteTask(i, data)) {
                        w->Bytes += t.TaskSize;
                        done = true;
                    } else {
                        w->Error = kWriteFailed;
                    }
                } else if (!http.Stopped()) {
                    w->Error = http.ErrorText.empty() ? kWriteFailed : http.ErrorText;
                }
            } else {
                http.Close();
                w->Error = TdsStrUtils::Format(kInfoFailed, {http.StatusCode});
            }
        } else {
            w->Error = http.ErrorText;
        }
        failuresInRow = done ? 0 : failuresInRow + 1;
        // The server is gone or refuses: the later attempt of a new thread decides.
        if (failuresInRow >= 3)
            break;
    }
}

} // namespace

TdsDownloader::TdsDownloader() = default;
TdsDownloader::~TdsDownloader() = default;

std::string TdsDownloader::TargetFile() const {
    return Folder + FileName;
}

std::vector<TdsDownloadPiecePlan> TdsDownloader::PlanPieces(int64_t size) {
    std::vector<TdsDownloadPiecePlan> pieces(kPieces);
    if (size <= 0)
        return pieces;
    const int64_t unit = (size / kPieceUnit) * kTask;
    const int64_t first = unit + size % kPieceUnit;
    for (int n = 0; n < kPieces; ++n) {
        auto& p = pieces[static_cast<size_t>(n)];
        if (n == 0) {
            p.StartPos = 0;
            p.TotalSize = first;
        } else if (unit > 0) {
            p.StartPos = first + unit * (n - 1);
            p.TotalSize = unit;
        } else {
            continue;
        }
        p.EndPos = p.StartPos + p.TotalSize - 1;
        int64_t pos = p.StartPos, rest = p.TotalSize;
        // The last task takes what is left, up to one byte more than a whole task.
        while (rest > kTask + 1) {
            p.Tasks.emplace_back(pos, pos + kTask - 1);
            pos += kTask;
            rest -= kTask;
        }
        if (rest > 0)
            p.Tasks.emplace_back(pos, pos + rest - 1);
    }
    return pieces;
}

namespace {

// One Execute: the working state shared by its steps.
class TRun {
public:
    explicit TRun(TdsDownloader& d) : d_(d) {}
    ~TRun() { StopWorkers(); }

    bool Execute();

private:
    bool Cancelled() const { return d_.BusyForm && d_.BusyForm->CancelPressed(); }
    bool Indicator() const { return d_.ShowProgress && d_.BusyForm; }
    void Report(int percent) {
        d_.Percent = percent;
        if (d_.OnDownloadProgress)
            d_.OnDownloadProgress(percent);
        if (Indicator())
            d_.BusyForm->SetProgress(percent);
    }
    void Hide() {
        if (Indicator() && d_.BusyForm->Showing())
            d_.BusyForm->StopBusy();
    }
    bool Fail(const std::string& text) {
        Hide();
        d_.ErrorText = text;
        TdsDialogs::ShowError(text);
        return false;
    }
    std::string StateFile() const { return d_.Folder + "Download.xml"; }
    std::string Extra() const { return d_.Referer.empty() ? "" : "Referer: " + d_.Referer + "\r\n"; }

    bool GetDownloadInfo(std::string& error);
    bool RunStream();
    bool RunPieces();
    bool PrepareState();
    bool LoadState(int64_t& fileSize);
    bool SaveState();
    void DeleteState();
    int64_t FinishedFromPieceFiles(int64_t fileSize, bool verify);
    void StartWorker(int piece);
    int CollectWorkers();
    void StopWorkers();
    void WaitSecond();
    // 1 merged, 0 damaged tasks found (reset for fetching again), -1 failed.
    int Merge();

    TdsDownloader& d_;
    TdsHTTPDownload info_;
    std::string serverName_;
    std::vector<TdsDownloadPiecePlan> plan_;
    std::vector<TPieceState> pieces_;
    std::vector<std::unique_ptr<TWorker>> workers_;
    // Threads that ended, and those of them taken over by the loop.
    std::atomic<int> ended_{0};
    int collected_ = 0;
    int nextThreadID_ = 1;
    std::string lastError_;
};

bool TRun::GetDownloadInfo(std::string& error) {
    info_.ProcessMessages = true;
    info_.OwnerWindow = d_.OwnerWindow;
    d_.Referer.clear();
    d_.RangeSupported = true;
    std::string address = URLEncodeUTF8(TdsStrUtils::Trim(d_.URL));
    // Redirects and HTML indirections, each answer examined in turn; a loop of them ends as a failure.
    for (int hop = 0; hop < 10; ++hop) {
        info_.Connect(address);
        const bool sent = info_.SendRequest("", "Range: bytes=0-255\r\n" + Extra());
        const std::string status = info_.StatusCode;
        if (!sent && status.empty()) {
            error = info_.ErrorText;
            return false;
        }
        if (status != "200" && status != "206" && status != "302") {
            error = TdsStrUtils::Format(kInfoFailed, {status});
            return false;
        }
        if (status == "302") {
            std::string location = info_.Location();
            info_.Close();
            if (location.empty()) {
                error = TdsStrUtils::Format(kInfoFailed, {status});
                return false;
            }
            if (!TdsStrUtils::StartsText("http://", location) &&
                !TdsStrUtils::StartsText("https://", location))
                location = JoinPath(info_.HostPart(), location);
            // A target with a query is taken as it is: its parameters come encoded already.
            address = location.find('?') == std::string::npos ? URLEncodeUTF8(location) : location;
            continue;
        }
        if (TdsStrUtils::StartsText("text/html", info_.ContentType())) {
            std::string body;
            if (!info_.ReadBody(body)) {
                error =
                    info_.ErrorText.empty() ? TdsStrUtils::Format(kInfoFailed, {status}) : info_.ErrorText;
                return false;
            }
            const std::string real = TdsStrUtils::Trim(body);
            if (real.empty()) {
                error = TdsStrUtils::Format(kInfoFailed, {status});
                return false;
            }
            d_.Referer = real;
            address = URLEncodeUTF8(real);
            continue;
        }
        d_.SourceURL = address;
        const std::string disposition = info_.ContentDisposition();
        serverName_ = disposition.find("filename=") != std::string::npos ? DispositionName(disposition)
                                                                         : AddressName(address);
        const std::string range = info_.ContentRange();
        if (range.empty()) {
            // The server ignores ranges: the answer is the whole file, read later as one stream.
            d_.RangeSupported = false;
            d_.DownloadSize = info_.ContentLength();
            return true;
        }
        long long size = 0;
        if (!TdsStrUtils::TryStrToInt(range.substr(range.find_last_of('/') + 1), size) || size <= 0) {
            error = TdsStrUtils::Format(kInfoFailed, {status});
            return false;
        }
        d_.DownloadSize = size;
        // Read the few probe bytes so the connection stays usable.
        std::string probe;
        info_.ReadBody(probe);
        return true;
    }
    error = TdsStrUtils::Format(kInfoFailed, {info_.StatusCode});
    return false;
}

bool TRun::RunStream() {
    const std::string target = d_.TargetFile();
    TdsIOUtils::DeleteFileForced(target);
    FILE* out = std::fopen(target.c_str(), "wb");
    if (!out) {
        info_.Close();
        return Fail(kWriteFailed);
    }
    const int64_t size = d_.DownloadSize;
    int64_t written = 0;
    bool writeFailed = false, cancelled = false;
    int last = -1;
    const bool ok = info_.ReadBody(
        [&](const char* data, size_t n) {
            if (std::fwrite(data, 1, n, out) != n) {
                writeFailed = true;
                return false;
            }
            written += static_cast<int64_t>(n);
            TdsApplication::ProcessMessages();
            if (Cancelled()) {
                // Nothing of this transfer can be kept for later.
                if (TdsDialogs::Confirm(kNoResume, mkWarning)) {
                    cancelled = true;
                    return false;
                }
                d_.BusyForm->ClearCancel();
            }
            return true;
        },
        nullptr,
        [&](int64_t received) {
            int p = RoundPercent(received, size > 0 ? size : received + 1);
            if (p != last) {
                last = p;
                Report(p);
            }
        });
    const bool closed = std::fclose(out) == 0;
    if (cancelled) {
        TdsIOUtils::DeleteFileForced(target);
        Hide();
        return false;
    }
    if (!ok || writeFailed || !closed || (size >= 0 && written != size)) {
        TdsIOUtils::DeleteFileForced(target);
        return Fail(writeFailed || !closed || info_.ErrorText.empty() ? kWriteFailed : info_.ErrorText);
    }
    if (size < 0)
        d_.DownloadSize = written;
    Report(100);
    Hide();
    return true;
}

bool TRun::LoadState(int64_t& fileSize) {
    TdsXMLParser xml;
    std::string error;
    if (!TdsIOUtils::FileExists(StateFile()) || !xml.LoadFromFile(StateFile(), error))
        return false;
    long long size = 0;
    if (!TdsStrUtils::TryStrToInt(xml.FindNode("General/FileSize").Text(), size))
        return false;
    fileSize = size;
    pieces_.assign(kPieces, TPieceState());
    for (int n = 0; n < kPieces; ++n) {
        TdsXMLNode node = xml.FindNode("Pieces/Piece" + std::to_string(n));
        if (!node)
            return false;
        auto get = [&](const char* name, int64_t& value) {
            long long v = 0;
            bool ok = TdsStrUtils::TryStrToInt(node.Attribute(name), v);
            value = v;
            return ok;
        };
        TPieceState& p = pieces_[static_cast<size_t>(n)];
        int64_t thread = -1;
        if (!get("TotalSize", p.TotalSize) || !get("StartPos", p.StartPos) || !get("EndPos", p.EndPos) ||
            !get("FinishedSize", p.FinishedSize) || !get("ThreadID", thread))
            return false;
        p.ThreadID = static_cast<int>(thread);
    }
    return true;
}

bool TRun::SaveState() {
    TdsXMLParser xml;
    std::string error;
    if (!xml.NewDocument(StateFile(), "DownloadInfo", error))
        return false;
    TdsXMLNode general = xml.AddChild("General");
    xml.AddChild(general, "FileSize", std::to_string(d_.DownloadSize));
    xml.AddChild(general, "RemoveTempFiles", std::string("1"));
    TdsXMLNode list = xml.AddChild("Pieces");
    for (int n = 0; n < kPieces; ++n) {
        const TPieceState& p = pieces_[static_cast<size_t>(n)];
        TdsXMLNode node = xml.AddChild(list, "Piece" + std::to_string(n));
        node.SetAttribute("ID", std::to_string(n));
        node.SetAttribute("TotalSize", std::to_string(p.TotalSize));
        node.SetAttribute("StartPos", std::to_string(p.StartPos));
        node.SetAttribute("EndPos", std::to_string(p.EndPos));
        node.SetAttribute("FinishedSize", std::to_string(p.FinishedSize));
        node.SetAttribute("ThreadID", std::to_string(p.ThreadID));
    }
    return xml.Save();
}

void TRun::DeleteState() {
    for (int n = 0; n < kPieces; ++n)
        TdsIOUtils::DeleteFileForced(PieceFileName(d_.Folder, n));
    TdsIOUtils::DeleteFileForced(StateFile());
}

int64_t TRun::FinishedFromPieceFiles(int64_t fileSize, bool verify) {
    const auto plan = TdsDownloader::PlanPieces(fileSize);
    int64_t sum = 0;
    for (int n = 0; n < kPieces; ++n) {
        TPieceFile piece;
        int damaged = 0;
        if (piece.Open(PieceFileName(d_.Folder, n), n, fileSize, plan[static_cast<size_t>(n)], verify,
                       damaged))
            sum += piece.FinishedBytes();
    }
    return sum;
}

bool TRun::PrepareState() {
    const int64_t size = d_.DownloadSize;
    plan_ = TdsDownloader::PlanPieces(size);
    int64_t stored = -1;
    bool usable = LoadState(stored) && stored == size;
    if (usable)
        for (int n = 0; n < kPieces; ++n) {
            const auto& p = pieces_[static_cast<size_t>(n)];
            const auto& q = plan_[static_cast<size_t>(n)];
            usable = usable && p.StartPos == q.StartPos && p.EndPos == q.EndPos && p.TotalSize == q.TotalSize;
        }
    if (!usable) {
        // Another file, or a state that does not describe this one: start over.
        DeleteState();
        pieces_.assign(kPieces, TPieceState());
    }
    for (int n = 0; n < kPieces; ++n) {
        const auto& q = plan_[static_cast<size_t>(n)];
        TPieceState& p = pieces_[static_cast<size_t>(n)];
        p.TotalSize = q.TotalSize;
        p.StartPos = q.StartPos;
        p.EndPos = q.EndPos;
        p.ThreadID = -1;
        TPieceFile piece;
        int damaged = 0;
        const std::string file = PieceFileName(d_.Folder, n);
        if (!usable || !piece.Open(file, n, size, q, true, damaged)) {
            if (!piece.Create(file, n, size, q))
                return false;
        }
        p.FinishedSize = piece.FinishedBytes();
    }
    return SaveState();
}

void TRun::StartWorker(int n) {
    auto w = std::make_unique<TWorker>();
    w->Piece = n;
    w->StartBytes = pieces_[static_cast<size_t>(n)].FinishedSize;
    pieces_[static_cast<size_t>(n)].ThreadID = nextThreadID_++;
    TWorker* raw = w.get();
    std::atomic<int>* ended = &ended_;
    w->Thread =
        std::thread([raw, ended, url = d_.SourceURL, extra = Extra(), file = PieceFileName(d_.Folder, n),
                     size = d_.DownloadSize, plan = plan_[static_cast<size_t>(n)]] {
            WorkerRun(raw, url, extra, file, size, plan);
            ++*ended;
            raw->Ended = true;
        });
    workers_.push_back(std::move(w));
}

// Joins the threads that ended and takes over their byte counts; the number collected.
int TRun::CollectWorkers() {
    int collected = 0;
    for (auto it = workers_.begin(); it != workers_.end();) {
        TWorker& w = **it;
        if (!w.Ended.load()) {
            ++it;
            continue;
        }
        w.Thread.join();
        TPieceState& p = pieces_[static_cast<size_t>(w.Piece)];
        p.FinishedSize = w.Bytes.load();
        p.ThreadID = -1;
        if (p.FinishedSize != p.TotalSize && p.FinishedSize <= w.StartBytes) {
            ++p.FailedAttempts;
            if (!w.Error.empty())
                lastError_ = w.Error;
        } else {
            p.FailedAttempts = 0;
        }
        it = workers_.erase(it);
        ++collected;
        ++collected_;
    }
    return collected;
}

void TRun::StopWorkers() {
    for (auto& w : workers_)
        w->Stop = true;
    while (!workers_.empty()) {
        CollectWorkers();
        if (!workers_.empty())
            WaitSecond();
    }
}

// One second, or less when a thread ends meanwhile.
void TRun::WaitSecond() {
    const int64_t start = TdsClock::TickCount();
    while (ended_.load() == collected_ && TdsClock::TickCount() - start < 1000)
        TdsClock::Sleep(20);
}

int TRun::Merge() {
    const int64_t size = d_.DownloadSize;
    const std::string target = d_.TargetFile();
    const std::string part = target + ".part";
    TdsIOUtils::DeleteFileForced(part);
    int out = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return -1;
    bool damaged = false, failed = false;
    int64_t expected = 0, written = 0, flushed = 0;
    std::string data;
    for (int n = 0; n < kPieces && !failed; ++n) {
        TPieceFile piece;
        int bad = 0;
        if (!piece.Open(PieceFileName(d_.Folder, n), n, size, plan_[static_cast<size_t>(n)], false, bad)) {
            failed = true;
            break;
        }
        damaged = damaged || bad > 0;
        const auto& tasks = piece.Tasks();
        for (size_t i = 0; i < tasks.size(); ++i) {
            const TTask t = tasks[i];
            // Every byte once, in order, from a finished task whose Data still matches its checksum.
            if (!t.Finished || t.StartPos != expected || !piece.ReadData(t, data) ||
                Hash(data) != t.DataHash) {
                damaged = true;
                if (t.Finished && !piece.ResetTask(i))
                    failed = true;
                expected = t.EndPos + 1;
                continue;
            }
            expected = t.EndPos + 1;
            if (!damaged) {
                if (!WriteAll(out, data.data(), data.size(), static_cast<off_t>(written)))
                    failed = true;
                written += static_cast<int64_t>(data.size());
                // Start writing back as the copy goes, so the final sync has little left to wait for.
                if (written - flushed >= kFlushChunk) {
                    ::sync_file_range(out, flushed, written - flushed, SYNC_FILE_RANGE_WRITE);
                    flushed = written;
                }
            }
        }
        pieces_[static_cast<size_t>(n)].FinishedSize = piece.FinishedBytes();
    }
    const bool synced = !failed && !damaged && ::fdatasync(out) == 0;
    ::close(out);
    if (failed || damaged || !synced || written != size || expected != size) {
        TdsIOUtils::DeleteFileForced(part);
        if (damaged && !failed)
            return 0;
        return -1;
    }
    if (std::rename(part.c_str(), target.c_str()) != 0) {
        TdsIOUtils::DeleteFileForced(part);
        return -1;
    }
    if (TdsIOUtils::FileSize(target) == size)
        DeleteState();
    return 1;
}

bool TRun::RunPieces() {
    if (!PrepareState())
        return Fail(kWriteFailed);
    const int threads = d_.ThreadCount > 0 ? d_.ThreadCount : 1;
    for (int round = 0; round < kMaxRounds; ++round) {
        bool cancelled = false;
        for (;;) {
            TdsApplication::ProcessMessages();
            if (Cancelled()) {
                cancelled = true;
                break;
            }
            CollectWorkers();
            bool pending = false;
            for (int n = 0; n < kPieces; ++n) {
                TPieceState& p = pieces_[static_cast<size_t>(n)];
                if (p.ThreadID >= 0 || p.FinishedSize == p.TotalSize ||
                    p.FailedAttempts >= kMaxFailedAttempts)
                    continue;
                pending = true;
                if (static_cast<int>(workers_.size()) < threads)
                    StartWorker(n);
            }
            int64_t finished = 0;
            for (const auto& w : workers_)
                pieces_[static_cast<size_t>(w->Piece)].FinishedSize = w->Bytes.load();
            for (const auto& p : pieces_)
                finished += p.FinishedSize;
            SaveState();
            Report(RoundPercent(finished, d_.DownloadSize));
            if (!pending && workers_.empty())
                break;
            WaitSecond();
        }
        if (cancelled) {
            StopWorkers();
            SaveState();
            // Cancelled after the last task came in: the file is complete, so it is assembled all the same
            // (the result stays false: the user cancelled).
            int percent = RoundPercent(FinishedFromPieceFiles(d_.DownloadSize, false), d_.DownloadSize);
            if (percent >= 100 && Merge() != 1)
                percent = 99;
            Report(percent);
            Hide();
            return false;
        }
        const int percent = RoundPercent(FinishedFromPieceFiles(d_.DownloadSize, false), d_.DownloadSize);
        if (percent < 100) {
            Report(percent);
            return Fail(lastError_.empty() ? std::string(kWriteFailed) : lastError_);
        }
        const int merged = Merge();
        if (merged == 1) {
            Report(TdsIOUtils::FileSize(d_.TargetFile()) == d_.DownloadSize ? 100 : 99);
            Hide();
            return true;
        }
        if (merged < 0) {
            Report(99);
            return Fail(kMergeFailed);
        }
        // Damaged tasks were reset: fetch them again.
        for (auto& p : pieces_)
            p.FailedAttempts = 0;
        SaveState();
    }
    Report(RoundPercent(FinishedFromPieceFiles(d_.DownloadSize, false), d_.DownloadSize));
    return Fail(kMergeFailed);
}

bool TRun::Execute() {
    d_.ErrorText.clear();
    d_.Percent = 0;
    if (d_.Folder.empty() || !TdsIOUtils::FolderExists(d_.Folder))
        d_.Folder = TdsSysUtils::ModuleFolder() + "Temp/";
    if (d_.Folder.back() != '/')
        d_.Folder += '/';
    TdsIOUtils::ForceFolders(d_.Folder);

    // What an earlier run left, until the server tells the size.
    int64_t stored = -1;
    if (LoadState(stored) && stored > 0)
        d_.Percent = RoundPercent(FinishedFromPieceFiles(stored, false), stored);
    if (Indicator()) {
        d_.BusyForm->StartProgress(d_.OwnerWindow, 5, true, 0, d_.Caption);
        d_.BusyForm->SetProgress(d_.Percent);
    }

    std::string error;
    const bool known = GetDownloadInfo(error);
    if (Cancelled()) {
        info_.Close();
        Hide();
        return false;
    }
    if (!known)
        return Fail(error);
    if (d_.FileName.empty()) {
        d_.FileName = SafeFileName(serverName_);
        if (d_.FileName.empty())
            d_.FileName = "temp.dat";
    }
    return d_.RangeSupported ? RunPieces() : RunStream();
}

} // namespace

bool TdsDownloader::Execute() {
    TRun run(*this);
    return run.Execute();
}
