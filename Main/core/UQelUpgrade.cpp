#include "UQelUpgrade.h"

#include "UGlobal.h"
#include "UQelPlatform.h"
#include "UdsApplication.h"
#include "UdsBusyForm.h"
#include "UdsDialogs.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsSecurity.h"
#include "UdsStrUtils.h"
#include "dsDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace {

const char* const kUnknownAnswer = "服务器端出现未知异常！";
const char* const kBadPiece = "服务器返回的升级包数据不正确！";

TdsBusyForm* Busy() {
    return Global ? Global->BusyForm.get() : nullptr;
}

std::string PadLeft(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

bool ReadInt(const std::string& text, int64_t low, int64_t high, int64_t& value) {
    long long v = 0;
    if (!TdsStrUtils::TryStrToInt(TdsStrUtils::Trim(text), v) || v < low || v > high)
        return false;
    value = v;
    return true;
}

// Closes the descriptor on every way out.
class TFileHandle {
public:
    explicit TFileHandle(int fd) : fd_(fd) {}
    ~TFileHandle() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool WriteAt(int fd, const std::string& bytes, int64_t offset) {
    return TdsIOUtils::WriteAt(fd, bytes.data(), bytes.size(), offset);
}

// What the file holds from offset on, up to count bytes.
std::string ReadAt(int fd, size_t count, int64_t offset) {
    std::string bytes(count, '\0');
    const int64_t done = TdsIOUtils::ReadAt(fd, bytes.data(), count, offset);
    bytes.resize(done > 0 ? static_cast<size_t>(done) : 0);
    return bytes;
}

} // namespace

TQelUpgrade::TQelUpgrade(const TUpgradeParams& params) : Params(params) {}

std::string TQelUpgrade::BaseHeaders() const {
    return "Content-Type: application/x-www-form-urlencoded\r\n"
           "DELFLAG: 1\r\n"
           "CFLAG: 1\r\n"
           "NSRSBH: " +
           Params.TaxpayerID + "\r\nPASSWORD: " + Params.Password + "\r\nVERSION: " + Params.ProgramVersion +
           "\r\n";
}

bool TQelUpgrade::Send(void* ownerWindow, const std::string& extraLines, std::string& errorText) {
    // GET, and no standby server: the package comes from the main server only.
    return SendHttpRequest(ownerWindow, Params.Server, errorText, 0, nullptr, "", BaseHeaders() + extraLines,
                           false, JoinPath(Params.SubDomain, RequestName));
}

void TQelUpgrade::StopBusy() {
    if (TdsBusyForm* busy = Busy())
        busy->StopBusy();
}

bool TQelUpgrade::ParseAnswer() {
    ResultNode = TdsXMLNode();
    DataNode = TdsXMLNode();
    std::string error;
    TdsXMLNode value;
    if (Parser.LoadFromXML(UpperCaseTags(ResponseText()), error)) {
        ResultNode = Parser.FindNode("RESPONSE/RESULT");
        DataNode = Parser.FindNode("RESPONSE/DATA");
        value = FindNodeByPath(ResultNode, "RESULTVALUE", true);
    }
    if (value.IsNull()) {
        StopBusy();
        TdsDialogs::ShowError(kUnknownAnswer);
        return false;
    }
    if (TdsStrUtils::Trim(value.Text()) == "0")
        return true;
    StopBusy();
    TdsDialogs::ShowError(FindNodeByPath(ResultNode, "RESULTMESSAGE", true).Text());
    return false;
}

bool TQelUpgrade::GetUpgradeInfo(void* ownerWindow, TUpgradePackInfo& info) {
    info = TUpgradePackInfo();
    if (TdsBusyForm* busy = Busy())
        busy->StartBusyText(ownerWindow, 2, 2, "正在获取软件升级信息");
    std::string errorText;
    bool sent = Send(ownerWindow, "SLTYPE: Z\r\nDOWNREQUEST: TRUE\r\n", errorText);
    StopBusy();
    if (!sent) {
        TdsDialogs::ShowError(errorText);
        return false;
    }
    if (!ParseAnswer())
        return false;
    auto item = [&](const std::string& name) { return FindNodeByPath(DataNode, name, true); };
    auto incomplete = [](const std::string& name) {
        TdsDialogs::ShowError(TdsStrUtils::Format("服务器应答不完整，缺少数据项“%s”！", {"DATA/" + name}));
        return false;
    };
    TdsXMLNode state = item("STATE");
    if (state.IsNull())
        return incomplete("STATE");
    info.HasNewVersion = TdsStrUtils::Trim(state.Text()) == "0";
    info.NewVersion = item("VERSION").Text();
    std::string url = TdsStrUtils::Trim(item("URL").Text());
    if (!url.empty()) {
        try {
            info.URL = TdsStrUtils::Trim(TdsEncoding::AnsiToUtf8(TdsIOUtils::Base64Decode(url)));
        } catch (const EdsError&) {
            return incomplete("URL");
        }
    }
    info.UpgradeIndex = TdsStrUtils::Trim(item("UPGRADEINDEX").Text());
    info.FileMD5 = TdsStrUtils::Trim(item("FILEMD5").Text());
    if (!ReadInt(item("FILELENGTH").Text(), 0, INT32_MAX, info.FileLength)) {
        info.FileLength = 0;
        // Only the piecewise download needs the length.
        if (info.HasNewVersion && info.URL.empty())
            return incomplete("FILELENGTH");
    }
    return true;
}

std::string TQelUpgrade::FormatDownHeader(const TUpgradeDownInfo& info) {
    return "QELUPGRADE" + PadLeft(TdsEncoding::Utf8ToAnsi(info.UpgradeIndex), 10) +
           PadLeft(std::to_string(info.FileLength), 10) + PadLeft(std::to_string(info.ReceivedUpTo), 10);
}

bool TQelUpgrade::ParseDownHeader(const std::string& bytes, TUpgradeDownInfo& info) {
    if (bytes.size() < static_cast<size_t>(kHeaderSize) ||
        !TdsStrUtils::SameText(bytes.substr(0, 10), "QELUPGRADE"))
        return false;
    TUpgradeDownInfo read;
    read.UpgradeIndex = TdsStrUtils::Trim(TdsEncoding::AnsiToUtf8(bytes.substr(10, 10)));
    if (!ReadInt(bytes.substr(20, 10), 0, INT64_MAX, read.FileLength) ||
        !ReadInt(bytes.substr(30, 10), -1, INT64_MAX, read.ReceivedUpTo))
        return false;
    info = read;
    return true;
}

bool TQelUpgrade::DownloadPieces(void* ownerWindow, const std::string& upgradeIndex, std::string& packageFile,
                                 int64_t fileLength) {
    packageFile = Params.UpgradeFolder + kPackageName;
    const std::string tempFile = Params.UpgradeFolder + kTempName;
    auto fail = [&](const std::string& text) {
        StopBusy();
        TdsDialogs::ShowError(text);
        return false;
    };
    TdsBusyForm* busy = Busy();
    if (busy)
        busy->StartProgressText(ownerWindow, 5, 2, "正在下载升级包");
    // The header has ten places for the index, and it travels as a header line.
    bool plainIndex = TdsEncoding::Utf8ToAnsi(upgradeIndex).size() <= 10 &&
                      std::none_of(upgradeIndex.begin(), upgradeIndex.end(),
                                   [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    if (!plainIndex || fileLength < 0)
        return fail(TdsStrUtils::Format("无效的升级包序号“%s”！", {upgradeIndex}));

    TdsIOUtils::ForceFolders(Params.UpgradeFolder);
    TFileHandle file(::open(tempFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (file.Get() < 0)
        return fail(TdsStrUtils::Format("无法写入升级包临时文件“%s”！", {tempFile}));
    const std::string writeFailed = TdsStrUtils::Format("无法写入升级包临时文件“%s”！", {tempFile});

    TUpgradeDownInfo down;
    struct stat st {};
    bool resume = ::fstat(file.Get(), &st) == 0 &&
                  ParseDownHeader(ReadAt(file.Get(), kHeaderSize, 0), down) &&
                  down.UpgradeIndex == upgradeIndex && down.FileLength == fileLength &&
                  down.ReceivedUpTo < fileLength && st.st_size >= kHeaderSize + down.ReceivedUpTo + 1;
    if (resume) {
        // Bytes past what the header claims are an append that was cut short.
        if (st.st_size > kHeaderSize + down.ReceivedUpTo + 1 &&
            ::ftruncate(file.Get(), static_cast<off_t>(kHeaderSize + down.ReceivedUpTo + 1)) != 0)
            return fail(writeFailed);
    } else {
        down = TUpgradeDownInfo{upgradeIndex, fileLength, -1};
        if (::ftruncate(file.Get(), 0) != 0 || !WriteAt(file.Get(), FormatDownHeader(down), 0) ||
            ::fsync(file.Get()) != 0)
            return fail(writeFailed);
    }

    while (down.ReceivedUpTo + 1 < fileLength) {
        TdsApplication::ProcessMessages();
        if (busy)
            busy->SetProgress(static_cast<int>(std::lround((down.ReceivedUpTo + 1) * 100.0 / fileLength)));
        const int64_t start = down.ReceivedUpTo + 1;
        std::string errorText;
        if (!Send(ownerWindow,
                  "StartPos:" + std::to_string(start) +
                      "\r\nEndPos:" + std::to_string(down.ReceivedUpTo + kPieceSize) +
                      "\r\nUpgradeIndex:" + upgradeIndex + "\r\nFileType:0\r\n",
                  errorText))
            return fail(errorText);
        if (!ParseAnswer())
            return false;
        int64_t startPos = 0, endPos = 0;
        std::string bytes;
        try {
            bytes = TdsIOUtils::Base64Decode(FindNodeByPath(DataNode, "FILECONTENT", true).Text());
        } catch (const EdsError&) {
            return fail(kBadPiece);
        }
        // Only the piece that continues the file, whole and inside the package, is written.
        if (!ReadInt(FindNodeByPath(DataNode, "STARTPOS", true).Text(), 0, INT64_MAX, startPos) ||
            !ReadInt(FindNodeByPath(DataNode, "ENDPOS", true).Text(), 0, INT64_MAX, endPos) ||
            startPos != start || endPos < startPos || endPos >= fileLength ||
            static_cast<int64_t>(bytes.size()) != endPos - startPos + 1)
            return fail(kBadPiece);
        // The data reaches the disk before the header that counts it.
        if (!WriteAt(file.Get(), bytes, kHeaderSize + startPos) || ::fsync(file.Get()) != 0)
            return fail(writeFailed);
        TUpgradeDownInfo next = down;
        next.ReceivedUpTo = endPos;
        if (!WriteAt(file.Get(), FormatDownHeader(next), 0) || ::fsync(file.Get()) != 0)
            return fail(writeFailed);
        down = next;
    }
    if (busy)
        busy->SetProgress(100);
    StopBusy();

    std::ofstream out(packageFile, std::ios::binary | std::ios::trunc);
    int64_t offset = kHeaderSize;
    while (out) {
        std::string block = ReadAt(file.Get(), 1024, offset);
        if (block.empty())
            break;
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        offset += static_cast<int64_t>(block.size());
    }
    out.close();
    if (!out || offset - kHeaderSize != fileLength) {
        TdsIOUtils::DeleteFileForced(packageFile);
        TdsDialogs::ShowError(TdsStrUtils::Format("无法保存升级包“%s”！", {packageFile}));
        return false;
    }
    file.Close();
    TdsIOUtils::DeleteFileForced(tempFile);
    return true;
}

bool TQelUpgrade::CheckUpgrade(void* ownerWindow, bool showMessages) {
    TUpgradePackInfo info;
    if (!GetUpgradeInfo(ownerWindow, info))
        return false;
    if (!info.HasNewVersion) {
        if (showMessages)
            TdsDialogs::ShowInfo("本软件已经是最新版本！");
        return false;
    }
    if (!showMessages && !TdsDialogs::Confirm("存在新的软件版本，是否升级？", mkInformation))
        return false;

    const std::string folder = Params.UpgradeFolder;
    TdsIOUtils::ForceFolders(folder);
    std::string package;
    if (!info.URL.empty()) {
        TdsDownloader downloader;
        downloader.URL = info.URL;
        downloader.ThreadCount = 2;
        downloader.Caption = "正在下载升级包, 请稍候 ...";
        downloader.Folder = folder;
        downloader.OwnerWindow = ownerWindow;
        downloader.BusyForm = Busy();
        bool ok = downloader.Execute();
        package = downloader.TargetFile();
        if (!ok || downloader.Percent < 100)
            return false;
    } else if (!DownloadPieces(ownerWindow, info.UpgradeIndex, package, info.FileLength)) {
        return false;
    }

    std::string name = TdsIOUtils::ExtractName(package);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || !TdsStrUtils::SameText(name.substr(dot), ".zip")) {
        TdsDialogs::ShowError("无效的升级包格式！");
        return false;
    }
    if (TdsIOUtils::UnzipTo(package, folder, false) <= 0) {
        TdsDialogs::ShowError("解压缩升级包失败！");
        return false;
    }
    if (!info.FileMD5.empty() && TdsSecurity::MD5FileHex(package) != info.FileMD5) {
        TdsDialogs::ShowError("升级包MD5值校验不正确！");
        return false;
    }

    // Ending the client with nothing to take over would leave the user without a program.
    const std::string updater = folder + kUpdaterName;
    if (!TdsIOUtils::FileExists(updater)) {
        TdsDialogs::ShowError(TdsStrUtils::Format("升级包中没有升级程序“%s”！", {kUpdaterName}));
        return false;
    }
    std::string baseFolder = Global && Global->PathInfo ? Global->PathInfo->GetBaseFolder() : "";
    if (!TdsApplication::ShellOpen(updater, "\"" + baseFolder + "\"", folder, false)) {
        TdsDialogs::ShowError(TdsStrUtils::Format("无法启动升级程序“%s”！", {updater}));
        return false;
    }
    TdsApplication::Terminate();
    return true;
}

bool TQelPlatform::UpdateSoft(void* ownerWindow, bool showMessages) {
    if (!CheckInitialPassword())
        return false;
    TUpgradeParams params{MainServer,         SubDomain,
                          Global->TaxpayerID, Global->AuthenPassword,
                          Global->Version,    Global->PathInfo->GetUpgradeFolder()};
    TQelUpgrade upgrade(params);
    // The same server: a client certificate it demands is chosen as for the platform's requests.
    upgrade.CertFilter = CertFilter;
    upgrade.ClientCertificateSource = ClientCertificateSource;
    return upgrade.CheckUpgrade(ownerWindow, showMessages);
}
