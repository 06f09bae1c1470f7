#pragma once
// File, folder, Base64, zlib and zip helpers. Folder results end in the path separator "/".
//
// Paths are UTF-8 and use "/" only; a backslash is an ordinary file name character here (except inside
// archive entry names, see UnzipAll). Operations report through their results; the only boxes shown are
// the two described ones (ClearFolder of a missing folder, UnzipAll of a missing archive).
#include <cstdint>
#include <string>
#include <vector>

class TdsIOUtils {
public:
    // ---- Path parts and existence ----

    // The folder without / with its trailing "/"; empty text when the folder does not exist. The root
    // folder stays "/" in both forms.
    static std::string ExcludeSlash(const std::string& folder);
    static std::string IncludeSlash(const std::string& folder);
    // Everything up to and including the last "/" ("" when the name has no folder part).
    static std::string ExtractFolder(const std::string& file);
    // Everything after the last "/".
    static std::string ExtractName(const std::string& file);
    // The name; without its extension (from the last "." of the name on) unless keepExtension.
    static std::string ExtractBaseName(const std::string& file, bool keepExtension);
    // For an existing folder: the folder without its trailing "/", cut after the last remaining "/"
    // (the parent folder with its "/"; "/" for the root); empty text when the folder does not exist.
    static std::string DriveRoot(const std::string& folder);

    // A regular file (symbolic links followed) / a folder.
    static bool FileExists(const std::string& file);
    static bool FolderExists(const std::string& folder);
    // Size in bytes, -1 when the file does not exist (or is not a regular file).
    static int64_t FileSize(const std::string& file);
    // Positional I/O on an open descriptor, repeated until every byte moved (interruptions retried).
    static bool WriteAt(int fd, const void* data, size_t size, int64_t offset);
    // Up to size bytes; the count read (short only at the end of the file), -1 on an error.
    static int64_t ReadAt(int fd, void* data, size_t size, int64_t offset);
    // Creates the folder with its parents; true when it exists as a folder afterwards.
    static bool ForceFolders(const std::string& folder);

    // ---- File operations ----

    // Deletes every file and subfolder of the folder (links are removed, never followed). A missing
    // folder shows "要清空的目录“%s”不存在！" (error box) and gives false. True when the folder is empty
    // afterwards.
    static bool ClearFolder(const std::string& folder);
    // True when the file does not exist; otherwise clears its read-only state and deletes it (a link is
    // deleted itself). False for a folder or when deleting fails.
    static bool DeleteFileForced(const std::string& file);
    // Copies a file. False when the source does not exist. A target ending in "/" receives the source's
    // name; copying a file onto itself succeeds without work. Creates the target's folder with parents.
    // The copy is written to a temporary file in the target folder and renamed over the target (which
    // replaces an existing, also read-only, target), so a failure leaves the old target untouched and a
    // crash never leaves half a file. Permission bits and modification time are those of the source.
    static bool CopyFileTo(const std::string& source, const std::string& target);
    // Moves a file: false when the source does not exist; a target ending in "/" receives the source's
    // name; the target's folder is created; an existing target is replaced. Across file systems the
    // file is copied (as CopyFileTo) and the source deleted.
    static bool MoveFileTo(const std::string& source, const std::string& target);
    // False when the source is missing; CopyFileTo, then deletes the source.
    static bool MoveByCopy(const std::string& source, const std::string& target);

    // Whole file as bytes. ReadTextFile gives empty text when the file cannot be read; TryReadTextFile
    // tells the failure apart from an empty file.
    static std::string ReadTextFile(const std::string& file);
    static bool TryReadTextFile(const std::string& file, std::string& text);
    // Replaces the file with the bytes (temporary file in the same folder renamed over it); false when
    // the file cannot be written. The folder must exist.
    static bool WriteTextFile(const std::string& text, const std::string& file);
    // Base64Encode of ReadTextFile (the upload data).
    static std::string FileToBase64(const std::string& file);
    // The bytes of a memory stream as text.
    static std::string StreamToText(const std::vector<unsigned char>& stream);
    static std::string StreamToText(const void* data, size_t size);

    // ---- Zip archives ----

    // Removes an existing archive of that name, then writes the listed files in list order as deflated
    // entries (level 6) under their bare names, without encryption. Shows the hourglass meanwhile.
    // False when the list is empty, a listed file is missing, two files share a name, or writing fails;
    // the archive is written under a temporary name and renamed, so a failure leaves no archive.
    static bool ZipFiles(const std::vector<std::string>& files, const std::string& archive);

    // Extracts every entry of the archive into the target folder (created with parents), with the
    // entries' folders, replacing existing (also read-only) files. Returns the number of entries
    // extracted (folder entries included), -1 on any error; the archive is deleted afterwards when
    // deleteAfter is set and extraction succeeded. A missing archive shows "待解压文件“%s”不存在！"
    // (error box). The password opens traditional (PKWARE) and AES encrypted entries.
    // The whole archive is refused (-1, nothing written) when an entry name has a ".." part, is
    // absolute ("/", "\", a drive letter), is a symbolic link, or would land outside the target folder,
    // also through a link already present in the target folder; when an entry cannot be opened (wrong
    // or missing password, unsupported method); or when the declared sizes exceed the free space.
    // "\" in entry names is read as a folder separator; names not flagged or valid as UTF-8 are CP936.
    // Entries are streamed and never written past their declared size.
    static int UnzipAll(const std::string& archive, const std::string& password, bool deleteAfter,
                        const std::string& targetFolder);
    // As UnzipAll without password and without the missing-archive message.
    static int UnzipTo(const std::string& archive, const std::string& targetFolder, bool deleteAfter);
    // ClearFolder of the target, UnzipAll without password and without deleting, then the first file of
    // the target folder (name-sorted first regular file at its top level, full path). False when the
    // folder was not emptied, nothing was extracted, or no file lies at the top level.
    static bool UnzipFirst(const std::string& archive, const std::string& targetFolder,
                           std::string& firstFile);

    // ---- Base64 and zlib ----

    // Standard Base64 (RFC 4648) without line breaks.
    static std::string Base64Encode(const std::string& data);
    // Removes every CR LF and LF CR pair first; raises EdsError on any other character outside the
    // alphabet, on misplaced padding or on a length that is not a multiple of four.
    static std::string Base64Decode(const std::string& text);
    // zlib stream (RFC 1950) of the bytes, and back; UnzipText raises EdsError on damaged data.
    static std::string ZipText(const std::string& data);
    static std::string UnzipText(const std::string& data);
    // Base64 of the zlib stream (the encoded log entries).
    static std::string ZipBase64(const std::string& data) { return Base64Encode(ZipText(data)); }

private:
    static int Extract(const std::string& archive, const std::string& password, bool deleteAfter,
                       const std::string& targetFolder, bool reportMissing);
};
