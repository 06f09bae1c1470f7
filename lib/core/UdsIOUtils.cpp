#include "UdsIOUtils.h"

#include "UdsApplication.h"
#include "UdsDialogs.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsStrUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

namespace {

const char* kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::string TdsIOUtils::Base64Encode(const std::string& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    for (; i + 2 < data.size(); i += 3) {
        uint32_t n = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    size_t rest = data.size() - i;
    if (rest == 1) {
        uint32_t n = uint32_t(p[i]) << 16;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t n = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string TdsIOUtils::Base64Decode(const std::string& text) {
    // Line breaks come in pairs from the encoders we meet; drop CR LF and LF CR pairs only.
    std::string clean;
    clean.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if ((c == '\r' || c == '\n') && i + 1 < text.size()) {
            char d = text[i + 1];
            if ((c == '\r' && d == '\n') || (c == '\n' && d == '\r')) {
                ++i;
                continue;
            }
        }
        clean += c;
    }
    if (clean.size() % 4 != 0)
        throw EdsError("Base64 text has a length that is not a multiple of four");
    std::string out;
    out.reserve(clean.size() / 4 * 3);
    for (size_t i = 0; i < clean.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            unsigned char c = static_cast<unsigned char>(clean[i + k]);
            if (c == '=') {
                // Padding only in the last group, only at its end.
                if (i + 4 != clean.size() || k < 2)
                    throw EdsError("Base64 text has misplaced padding");
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                throw EdsError("Base64 text has misplaced padding");
            v[k] = Base64Value(c);
            if (v[k] < 0)
                throw EdsError("Base64 text holds an invalid character");
        }
        uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out += static_cast<char>((n >> 16) & 0xFF);
        if (pad < 2)
            out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1)
            out += static_cast<char>(n & 0xFF);
    }
    return out;
}

std::string TdsIOUtils::ZipText(const std::string& data) {
    uLongf bound = compressBound(static_cast<uLong>(data.size()));
    std::string out(bound, '\0');
    int rc =
        compress2(reinterpret_cast<Bytef*>(out.data()), &bound, reinterpret_cast<const Bytef*>(data.data()),
                  static_cast<uLong>(data.size()), Z_DEFAULT_COMPRESSION);
    if (rc != Z_OK)
        throw EdsError("zlib compression failed");
    out.resize(bound);
    return out;
}

std::string TdsIOUtils::UnzipText(const std::string& data) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        throw EdsError("zlib initialisation failed");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof(buffer);
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buffer, sizeof(buffer) - zs.avail_out);
        if (rc == Z_BUF_ERROR && zs.avail_in == 0)
            break; // input ended before the stream did
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END)
        throw EdsError("zlib data is damaged or incomplete");
    return out;
}

// ---------------------------------------------------------------------------------------------------
// Files and folders

namespace {

constexpr size_t kCopyBufferSize = 256 * 1024;

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes and reports whether the close succeeded (a late write error shows up here).
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    unsigned long long mix =
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    mix ^=
        (static_cast<unsigned long long>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", mix);
    return buffer;
}

// Creates a fresh temporary file beside name in the folder dirfd (AT_FDCWD for paths); name may carry
// a folder part when dirfd is AT_FDCWD. The file is never a link and never an existing file.
int CreateTempAt(int dirfd, const std::string& name, mode_t mode, std::string& tempName) {
    std::string folder = TdsIOUtils::ExtractFolder(name);
    std::string base = TdsIOUtils::ExtractName(name);
    if (base.size() > 200)
        base.resize(200); // keep the temporary name within the name length limit
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName = folder + "." + base + ".~" + UniqueSuffix();
        int fd =
            ::openat(dirfd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Writes a new file through a temporary file in the same folder and renames it over the target, so the
// target is either the old or the complete new file. mode < 0 keeps the mode the umask gives.
bool ReplaceFile(int dirfd, const std::string& name, const std::function<bool(int)>& fill, int mode,
                 const struct timespec* mtime, int createMode = 0666) {
    std::string temp;
    TFd fd(CreateTempAt(dirfd, name, static_cast<mode_t>(createMode), temp));
    if (fd.Get() < 0)
        return false;
    bool ok = fill(fd.Get());
    if (ok && mode >= 0)
        ok = ::fchmod(fd.Get(), static_cast<mode_t>(mode)) == 0;
    if (ok && mtime) {
        struct timespec times[2] = {{0, UTIME_OMIT}, *mtime};
        ok = ::futimens(fd.Get(), times) == 0;
    }
    if (ok)
        ok = ::fsync(fd.Get()) == 0;
    if (!fd.Close())
        ok = false;
    if (ok)
        ok = ::renameat(dirfd, temp.c_str(), dirfd, name.c_str()) == 0;
    if (!ok)
        ::unlinkat(dirfd, temp.c_str(), 0);
    return ok;
}

bool CopyStream(int in, int out) {
    std::vector<char> buffer(kCopyBufferSize);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

bool RemoveTree(const std::string& path);

bool RemoveChildren(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    bool ok = true;
    for (const auto& name : names)
        ok = RemoveTree(folder + name) && ok;
    return ok;
}

bool RemoveTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        // A read-only subfolder must still be emptied.
        if ((st.st_mode & S_IRWXU) != S_IRWXU)
            ::chmod(path.c_str(), st.st_mode | S_IRWXU);
        bool ok = RemoveChildren(path + "/");
        return ::rmdir(path.c_str()) == 0 && ok;
    }
    return ::unlink(path.c_str()) == 0;
}

std::string WithSlash(const std::string& folder) {
    if (folder.empty() || folder.back() == '/')
        return folder;
    return folder + "/";
}

// A target ending in "/" receives the source's name.
std::string TargetName(const std::string& source, const std::string& target) {
    if (!target.empty() && target.back() == '/')
        return target + TdsIOUtils::ExtractName(source);
    return target;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

bool TdsIOUtils::FileExists(const std::string& file) {
    struct stat st;
    return !file.empty() && ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool TdsIOUtils::FolderExists(const std::string& folder) {
    struct stat st;
    return !folder.empty() && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TdsIOUtils::WriteAt(int fd, const void* data, size_t size, int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

int64_t TdsIOUtils::ReadAt(int fd, void* data, size_t size, int64_t offset) {
    char* p = static_cast<char*>(data);
    int64_t done = 0;
    while (size > 0) {
        ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        p += n;
        size -= static_cast<size_t>(n);
        done += n;
    }
    return done;
}

int64_t TdsIOUtils::FileSize(const std::string& file) {
    struct stat st;
    if (file.empty() || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool TdsIOUtils::ForceFolders(const std::string& folder) {
    if (folder.empty())
        return false;
    if (FolderExists(folder))
        return true;
    // Create each missing level in turn; a level made meanwhile by someone else is fine.
    std::string path;
    size_t pos = 0;
    while (pos <= folder.size()) {
        size_t next = folder.find('/', pos);
        if (next == std::string::npos)
            next = folder.size();
        path = folder.substr(0, next);
        if (!path.empty() && ::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        pos = next + 1;
    }
    return FolderExists(folder);
}

std::string TdsIOUtils::ExcludeSlash(const std::string& folder) {
    if (!FolderExists(folder))
        return "";
    std::string out = folder;
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::string TdsIOUtils::IncludeSlash(const std::string& folder) {
    if (!FolderExists(folder))
        return "";
    return WithSlash(ExcludeSlash(folder));
}

std::string TdsIOUtils::ExtractFolder(const std::string& file) {
    size_t pos = file.rfind('/');
    return pos == std::string::npos ? std::string() : file.substr(0, pos + 1);
}

std::string TdsIOUtils::ExtractName(const std::string& file) {
    size_t pos = file.rfind('/');
    return pos == std::string::npos ? file : file.substr(pos + 1);
}

std::string TdsIOUtils::ExtractBaseName(const std::string& file, bool keepExtension) {
    std::string name = ExtractName(file);
    if (keepExtension)
        return name;
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string TdsIOUtils::DriveRoot(const std::string& folder) {
    std::string plain = ExcludeSlash(folder);
    if (plain.empty())
        return "";
    size_t pos = plain.rfind('/');
    return pos == std::string::npos ? std::string() : plain.substr(0, pos + 1);
}

bool TdsIOUtils::ClearFolder(const std::string& folder) {
    if (!FolderExists(folder)) {
        TdsDialogs::ShowPrompt(TdsStrUtils::Format("要清空的目录“%s”不存在！", {folder}), mkError);
        return false;
    }
    return RemoveChildren(WithSlash(folder));
}

bool TdsIOUtils::DeleteFileForced(const std::string& file) {
    struct stat st;
    if (file.empty())
        return false;
    if (::lstat(file.c_str(), &st) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode))
        return false;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
        ::chmod(file.c_str(), st.st_mode | S_IWUSR);
    return ::unlink(file.c_str()) == 0;
}

namespace {

enum class TTargetState { Refused, SameFile, Ready };

// The common start of a copy or move: the source must be a file; the target name (a folder target
// receives the source's name) gets its folder; a folder standing at the target refuses.
TTargetState PrepareTarget(const std::string& source, const std::string& target, struct stat& src,
                           std::string& dest) {
    if (source.empty() || ::stat(source.c_str(), &src) != 0 || !S_ISREG(src.st_mode))
        return TTargetState::Refused;
    dest = TargetName(source, target);
    if (dest.empty())
        return TTargetState::Refused;
    struct stat dst;
    if (::stat(dest.c_str(), &dst) == 0) {
        if (SameFile(src, dst))
            return TTargetState::SameFile;
        if (S_ISDIR(dst.st_mode))
            return TTargetState::Refused;
    }
    std::string folder = TdsIOUtils::ExtractFolder(dest);
    if (!folder.empty() && !TdsIOUtils::ForceFolders(folder))
        return TTargetState::Refused;
    return TTargetState::Ready;
}

} // namespace

bool TdsIOUtils::CopyFileTo(const std::string& source, const std::string& target) {
    struct stat src;
    std::string dest;
    TTargetState state = PrepareTarget(source, target, src, dest);
    if (state != TTargetState::Ready)
        return state == TTargetState::SameFile;
    TFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0)
        return false;
    return ReplaceFile(
        AT_FDCWD, dest, [&](int out) { return CopyStream(in.Get(), out); },
        static_cast<int>(src.st_mode & 0777), &src.st_mtim);
}

bool TdsIOUtils::MoveFileTo(const std::string& source, const std::string& target) {
    struct stat src;
    std::string dest;
    TTargetState state = PrepareTarget(source, target, src, dest);
    if (state != TTargetState::Ready)
        return state == TTargetState::SameFile;
    // rename replaces an existing target in one step, read-only or not.
    if (::rename(source.c_str(), dest.c_str()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    return CopyFileTo(source, dest) && DeleteFileForced(source);
}

bool TdsIOUtils::MoveByCopy(const std::string& source, const std::string& target) {
    if (!FileExists(source))
        return false;
    return CopyFileTo(source, target) && DeleteFileForced(source);
}

bool TdsIOUtils::TryReadTextFile(const std::string& file, std::string& text) {
    text.clear();
    TFd fd(file.empty() ? -1 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    text.reserve(static_cast<size_t>(st.st_size));
    std::vector<char> buffer(kCopyBufferSize);
    for (;;) {
        ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            text.clear();
            return false;
        }
        if (n == 0)
            return true;
        text.append(buffer.data(), static_cast<size_t>(n));
    }
}

std::string TdsIOUtils::ReadTextFile(const std::string& file) {
    std::string text;
    TryReadTextFile(file, text);
    return text;
}

bool TdsIOUtils::WriteTextFile(const std::string& text, const std::string& file) {
    if (file.empty() || file.back() == '/')
        return false;
    // A rewritten file keeps the permissions it had.
    struct stat old {};
    int mode =
        ::stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? static_cast<int>(old.st_mode & 07777) : -1;
    return ReplaceFile(
        AT_FDCWD, file, [&](int out) { return WriteAll(out, text.data(), text.size()); }, mode, nullptr);
}

std::string TdsIOUtils::FileToBase64(const std::string& file) {
    return Base64Encode(ReadTextFile(file));
}

std::string TdsIOUtils::StreamToText(const std::vector<unsigned char>& stream) {
    return std::string(stream.begin(), stream.end());
}

std::string TdsIOUtils::StreamToText(const void* data, size_t size) {
    return size == 0 ? std::string() : std::string(static_cast<const char*>(data), size);
}

// ---------------------------------------------------------------------------------------------------
// Zip archives

bool TdsIOUtils::ZipFiles(const std::vector<std::string>& files, const std::string& archive) {
    TdsWaitCursor wait;
    if (files.empty() || archive.empty())
        return false;
    std::set<std::string> names;
    for (const auto& file : files) {
        if (!FileExists(file) || !names.insert(ExtractName(file)).second)
            return false;
    }
    if (!DeleteFileForced(archive))
        return false;
    int error = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
    if (!za)
        return false;
    for (const auto& file : files) {
        zip_source_t* source = zip_source_file(za, file.c_str(), 0, -1);
        if (!source) {
            zip_discard(za);
            return false;
        }
        zip_int64_t index = zip_file_add(za, ExtractName(file).c_str(), source, ZIP_FL_ENC_GUESS);
        if (index < 0) {
            zip_source_free(source);
            zip_discard(za);
            return false;
        }
        if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 6) != 0) {
            zip_discard(za);
            return false;
        }
    }
    // libzip writes the archive to a temporary file in the same folder and renames it only when the
    // whole archive was written; a failure removes the temporary file and leaves no archive.
    if (zip_close(za) != 0) {
        zip_discard(za);
        return false;
    }
    return FileExists(archive);
}

namespace {

struct TZipGuard {
    zip_t* za = nullptr;
    ~TZipGuard() {
        if (za)
            zip_discard(za);
    }
};

struct TZipFileGuard {
    zip_file_t* zf = nullptr;
    ~TZipFileGuard() {
        if (zf)
            zip_fclose(zf);
    }
};

struct TEntryPlan {
    zip_uint64_t index = 0;
    std::vector<std::string> parts; // the entry's path below the target folder
    bool isFolder = false;
    zip_uint64_t size = 0;
    bool hasTime = false;
    time_t mtime = 0;
    mode_t mode = 0666;
};

// Splits an entry name into its path parts. Both "/" and "\" separate (archives made on Windows use
// either). Refuses absolute names, drive letters and ".." parts.
bool SplitEntryName(const std::string& name, std::vector<std::string>& parts, bool& isFolder) {
    parts.clear();
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    isFolder = name.back() == '/' || name.back() == '\\';
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/' || name[i] == '\\') {
            if (part == "..")
                return false;
            if (!part.empty() && part != ".")
                parts.push_back(part);
            part.clear();
        } else {
            part += name[i];
        }
    }
    return isFolder || !parts.empty();
}

bool Inside(const std::string& root, const std::string& path) {
    if (root == "/")
        return !path.empty() && path[0] == '/';
    return path == root ||
           (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

// Walks the folders of parts below root (a real path) without ever leaving it: a folder that is a link
// is followed only when its real path lies inside root. With create, missing folders are made and the
// last one is opened into fd. Without create, the walk stops at the first missing folder (true: the
// rest will be new).
bool WalkFolders(const std::string& root, const std::vector<std::string>& parts, size_t count, bool create,
                 TFd* fd) {
    TFd current(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (current.Get() < 0)
        return false;
    std::string path = root;
    for (size_t i = 0; i < count; ++i) {
        const std::string& part = parts[i];
        if (create && ::mkdirat(current.Get(), part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        std::string next = path == "/" ? "/" + part : path + "/" + part;
        int nextFd = ::openat(current.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (nextFd < 0) {
            int openError = errno;
            struct stat st;
            if (::fstatat(current.Get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return !create && errno == ENOENT && openError == ENOENT;
            if (!S_ISLNK(st.st_mode))
                return false; // a file where the entry needs a folder
            char* resolved = ::realpath(next.c_str(), nullptr);
            if (!resolved)
                return false;
            next = resolved;
            std::free(resolved);
            if (!Inside(root, next))
                return false;
            nextFd = ::open(next.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (nextFd < 0)
                return false;
        }
        current.Reset(nextFd);
        path = next;
    }
    if (fd)
        fd->Reset(current.Get() >= 0 ? ::dup(current.Get()) : -1);
    return true;
}

// The entry's name as UTF-8: flagged and guessed UTF-8 names are taken as they are, others are CP936
// (what the Chinese Windows programs that make these archives write).
bool EntryName(zip_t* za, zip_uint64_t index, std::string& name) {
    const char* raw = zip_get_name(za, index, ZIP_FL_ENC_RAW);
    if (!raw)
        return false;
    name = raw;
    if (!TdsEncoding::IsValidUtf8(name))
        name = TdsEncoding::AnsiToUtf8(name);
    return true;
}

// Checks one entry before anything is written; fills its plan.
bool PlanEntry(zip_t* za, zip_uint64_t index, const char* password, const std::string& root,
               TEntryPlan& plan) {
    std::string name;
    if (!EntryName(za, index, name) || !SplitEntryName(name, plan.parts, plan.isFolder))
        return false;
    plan.index = index;
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0)
        return false;
    if (opsys == ZIP_OPSYS_UNIX) {
        mode_t mode = static_cast<mode_t>(attributes >> 16);
        mode_t type = mode & S_IFMT;
        if (type == S_IFDIR)
            plan.isFolder = true;
        else if (type != 0 && type != S_IFREG)
            return false; // links, devices, pipes
        if ((mode & 0777) != 0)
            plan.mode = mode & 0777;
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, index, 0, &st) != 0)
        return false;
    if (st.valid & ZIP_STAT_MTIME) {
        plan.hasTime = true;
        plan.mtime = st.mtime;
    }
    if (plan.isFolder) {
        if (!WalkFolders(root, plan.parts, plan.parts.size(), false, nullptr))
            return false;
        return true;
    }
    if (!(st.valid & ZIP_STAT_SIZE))
        return false;
    plan.size = st.size;
    TFd parent;
    if (!WalkFolders(root, plan.parts, plan.parts.size() - 1, false, &parent))
        return false;
    struct stat existing;
    if (parent.Get() >= 0 &&
        ::fstatat(parent.Get(), plan.parts.back().c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(existing.st_mode))
        return false; // a folder stands where the file goes
    // The entry must open: this finds a missing or wrong password and unsupported methods up front.
    TZipFileGuard file{zip_fopen_index_encrypted(za, index, 0, password)};
    return file.zf != nullptr;
}

// Folder and file entries must not claim the same path (a file "a" and a file "a/b").
bool Conflicts(const TEntryPlan& plan, std::set<std::string>& files, std::set<std::string>& folders) {
    std::string key;
    size_t folderParts = plan.isFolder ? plan.parts.size() : plan.parts.size() - 1;
    for (size_t i = 0; i < folderParts; ++i) {
        key += (i ? "/" : "") + plan.parts[i];
        if (files.count(key))
            return true;
        folders.insert(key);
    }
    if (!plan.isFolder) {
        key += (key.empty() ? "" : "/") + plan.parts.back();
        if (folders.count(key))
            return true;
        files.insert(key);
    }
    return false;
}

bool WriteEntry(zip_t* za, const TEntryPlan& plan, const char* password, const std::string& root) {
    TFd folder;
    size_t folderParts = plan.isFolder ? plan.parts.size() : plan.parts.size() - 1;
    if (!WalkFolders(root, plan.parts, folderParts, true, &folder))
        return false;
    if (plan.isFolder)
        return true;
    TZipFileGuard file{zip_fopen_index_encrypted(za, plan.index, 0, password)};
    if (!file.zf)
        return false;
    struct timespec mtime = {plan.mtime, 0};
    auto fill = [&](int out) {
        std::vector<char> buffer(kCopyBufferSize);
        zip_uint64_t written = 0;
        for (;;) {
            zip_int64_t n = zip_fread(file.zf, buffer.data(), buffer.size());
            if (n < 0)
                return false;
            if (n == 0)
                break;
            written += static_cast<zip_uint64_t>(n);
            if (written > plan.size) // more data than the entry declares: a damaged or hostile entry
                return false;
            if (!WriteAll(out, buffer.data(), static_cast<size_t>(n)))
                return false;
        }
        zip_file_t* done = file.zf;
        file.zf = nullptr;
        return zip_fclose(done) == 0 && written == plan.size;
    };
    // The final name is replaced by rename: an existing file (read-only or not) or link there is
    // replaced itself, nothing is written through it.
    return ReplaceFile(folder.Get(), plan.parts.back(), fill, -1, plan.hasTime ? &mtime : nullptr,
                       static_cast<int>(plan.mode));
}

} // namespace

int TdsIOUtils::Extract(const std::string& archive, const std::string& password, bool deleteAfter,
                        const std::string& targetFolder, bool reportMissing) {
    if (!FileExists(archive)) {
        if (reportMissing)
            TdsDialogs::ShowPrompt(TdsStrUtils::Format("待解压文件“%s”不存在！", {archive}), mkError);
        return -1;
    }
    if (!ForceFolders(targetFolder))
        return -1;
    std::string root;
    {
        char* resolved = ::realpath(targetFolder.c_str(), nullptr);
        if (!resolved)
            return -1;
        root = resolved;
        std::free(resolved);
    }
    int error = 0;
    TZipGuard zip{zip_open(archive.c_str(), ZIP_RDONLY, &error)};
    if (!zip.za)
        return -1;
    const char* pw = password.empty() ? nullptr : password.c_str();
    zip_int64_t count = zip_get_num_entries(zip.za, 0);
    if (count < 0)
        return -1;

    // Every entry is checked before the first byte is written: one bad entry refuses the archive.
    std::vector<TEntryPlan> plans(static_cast<size_t>(count));
    std::set<std::string> files, folders;
    unsigned long long total = 0;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        TEntryPlan& plan = plans[i];
        if (!PlanEntry(zip.za, i, pw, root, plan) || Conflicts(plan, files, folders))
            return -1;
        if (plan.size > ~0ULL - total)
            return -1;
        total += plan.size;
    }
    struct statvfs fs;
    if (::statvfs(root.c_str(), &fs) == 0 &&
        total > static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_frsize))
        return -1;

    for (const auto& plan : plans) {
        if (!WriteEntry(zip.za, plan, pw, root))
            return -1;
    }
    zip_discard(zip.za);
    zip.za = nullptr;
    if (deleteAfter && !DeleteFileForced(archive))
        return -1;
    return static_cast<int>(count);
}

int TdsIOUtils::UnzipAll(const std::string& archive, const std::string& password, bool deleteAfter,
                         const std::string& targetFolder) {
    return Extract(archive, password, deleteAfter, targetFolder, true);
}

int TdsIOUtils::UnzipTo(const std::string& archive, const std::string& targetFolder, bool deleteAfter) {
    return Extract(archive, "", deleteAfter, targetFolder, false);
}

bool TdsIOUtils::UnzipFirst(const std::string& archive, const std::string& targetFolder,
                            std::string& firstFile) {
    firstFile.clear();
    if (!ClearFolder(targetFolder))
        return false;
    if (Extract(archive, "", false, targetFolder, true) <= 0)
        return false;
    std::string folder = WithSlash(targetFolder);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return false;
    std::vector<std::string> names;
    while (struct dirent* entry = ::readdir(dir)) {
        struct stat st;
        std::string name = entry->d_name;
        if (name != "." && name != ".." && ::lstat((folder + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(name);
    }
    ::closedir(dir);
    if (names.empty())
        return false;
    firstFile = folder + *std::min_element(names.begin(), names.end());
    return true;
}
