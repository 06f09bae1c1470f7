#include "UTestSupport.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.insert(e->d_name);
        closedir(dir);
    }
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

} // namespace

TEST(IOUtilsPaths, PartsOfNames) {
    struct Case {
        const char* file;
        const char* folder;
        const char* name;
        const char* base;
    } cases[] = {
        {"/base/Temp/KDR_Card_1.vtd", "/base/Temp/", "KDR_Card_1.vtd", "KDR_Card_1"},
        {"archive.tar.gz", "", "archive.tar.gz", "archive.tar"},
        {"/base/dat/", "/base/dat/", "", ""},
        {"/a.d/noext", "/a.d/", "noext", "noext"},
        {"/数据/结果.xml", "/数据/", "结果.xml", "结果"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TdsIOUtils::ExtractFolder(c.file), c.folder) << c.file;
        EXPECT_EQ(TdsIOUtils::ExtractName(c.file), c.name) << c.file;
        EXPECT_EQ(TdsIOUtils::ExtractBaseName(c.file, false), c.base) << c.file;
        EXPECT_EQ(TdsIOUtils::ExtractBaseName(c.file, true), c.name) << c.file;
    }
}

TEST(IOUtilsPaths, SlashFormsAndDriveRootNeedAnExistingFolder) {
    TTempFolder tmp;
    const std::string withSlash = tmp.Path();
    const std::string without = withSlash.substr(0, withSlash.size() - 1);
    const std::string parent = withSlash.substr(0, without.rfind('/') + 1);
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "sub/deeper"));

    EXPECT_EQ(TdsIOUtils::ExcludeSlash(withSlash), without);
    EXPECT_EQ(TdsIOUtils::ExcludeSlash(without), without);
    EXPECT_EQ(TdsIOUtils::IncludeSlash(without), withSlash);
    EXPECT_EQ(TdsIOUtils::IncludeSlash(withSlash), withSlash);
    EXPECT_EQ(TdsIOUtils::IncludeSlash("/"), "/");
    EXPECT_EQ(TdsIOUtils::ExcludeSlash("/"), "/");
    EXPECT_EQ(TdsIOUtils::DriveRoot(withSlash), parent);
    EXPECT_EQ(TdsIOUtils::DriveRoot(tmp / "sub/deeper/"), tmp / "sub/");
    EXPECT_EQ(TdsIOUtils::DriveRoot(tmp / "sub"), withSlash);
    EXPECT_EQ(TdsIOUtils::DriveRoot("/"), "/");

    WriteFileBytes(tmp / "file", "x");
    for (const std::string& missing : {tmp / "missing/", tmp / "missing", tmp / "file", std::string()}) {
        EXPECT_EQ(TdsIOUtils::ExcludeSlash(missing), "") << missing;
        EXPECT_EQ(TdsIOUtils::IncludeSlash(missing), "") << missing;
        EXPECT_EQ(TdsIOUtils::DriveRoot(missing), "") << missing;
    }
}

TEST(IOUtilsFiles, ExistenceAndSize) {
    TTempFolder tmp;
    WriteFileBytes(tmp / "empty", "");
    WriteFileBytes(tmp / "five", "12345");
    EXPECT_EQ(TdsIOUtils::FileSize(tmp / "missing"), -1);
    EXPECT_EQ(TdsIOUtils::FileSize(tmp / "empty"), 0);
    EXPECT_EQ(TdsIOUtils::FileSize(tmp / "five"), 5);
    EXPECT_EQ(TdsIOUtils::FileSize(tmp.Path()), -1);
    EXPECT_TRUE(TdsIOUtils::FileExists(tmp / "empty"));
    EXPECT_FALSE(TdsIOUtils::FileExists(tmp.Path()));
    EXPECT_TRUE(TdsIOUtils::FolderExists(tmp.Path()));
    EXPECT_FALSE(TdsIOUtils::FolderExists(tmp / "five"));
    EXPECT_FALSE(TdsIOUtils::ForceFolders(tmp / "five/sub"));
    EXPECT_FALSE(TdsIOUtils::ForceFolders(""));
}

TEST(IOUtilsFiles, CopyFileTo) {
    TTempFolder tmp;
    const std::string source = tmp / "src/BS_Card.vtd";
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "src"));
    WriteFileBytes(source, std::string("card\0script", 11));
    chmod(source.c_str(), 0640);

    // Missing source: nothing is created.
    EXPECT_FALSE(TdsIOUtils::CopyFileTo(tmp / "src/missing.vtd", tmp / "out/"));
    EXPECT_FALSE(TdsIOUtils::FolderExists(tmp / "out"));

    // A folder target receives the source's name; folders are created with parents; mode kept.
    ASSERT_TRUE(TdsIOUtils::CopyFileTo(source, tmp / "out/a/b/"));
    EXPECT_EQ(ReadFileBytes(tmp / "out/a/b/BS_Card.vtd"), std::string("card\0script", 11));
    EXPECT_EQ(ModeOf(tmp / "out/a/b/BS_Card.vtd"), 0640u);
    struct stat s1, s2;
    stat(source.c_str(), &s1);
    stat((tmp / "out/a/b/BS_Card.vtd").c_str(), &s2);
    EXPECT_EQ(s1.st_mtim.tv_sec, s2.st_mtim.tv_sec);

    // Onto itself, also under another spelling of the path: success, content intact.
    EXPECT_TRUE(TdsIOUtils::CopyFileTo(source, source));
    EXPECT_TRUE(TdsIOUtils::CopyFileTo(source, tmp / "src/./BS_Card.vtd"));
    EXPECT_EQ(ReadFileBytes(source), std::string("card\0script", 11));

    // Over a read-only target: replaced; no temporary file stays behind.
    WriteFileBytes(tmp / "out/ro.vtd", "old and longer content");
    chmod((tmp / "out/ro.vtd").c_str(), 0444);
    ASSERT_TRUE(TdsIOUtils::CopyFileTo(source, tmp / "out/ro.vtd"));
    EXPECT_EQ(ReadFileBytes(tmp / "out/ro.vtd"), std::string("card\0script", 11));
    EXPECT_EQ(Listing(tmp / "out"), (std::set<std::string>{"a", "ro.vtd"}));

    // A folder standing where the target goes is not replaced.
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "out/dir"));
    EXPECT_FALSE(TdsIOUtils::CopyFileTo(source, tmp / "out/dir"));
    EXPECT_TRUE(TdsIOUtils::FolderExists(tmp / "out/dir"));
    EXPECT_EQ(Listing(tmp / "out"), (std::set<std::string>{"a", "dir", "ro.vtd"}));
}

TEST(IOUtilsFiles, MoveAndDelete) {
    TTempFolder tmp;
    WriteFileBytes(tmp / "KDR1.zip", "archive");
    WriteFileBytes(tmp / "KDR1.dat", "stale");
    chmod((tmp / "KDR1.dat").c_str(), 0444);
    ASSERT_TRUE(TdsIOUtils::MoveFileTo(tmp / "KDR1.zip", tmp / "KDR1.dat"));
    EXPECT_FALSE(TdsIOUtils::FileExists(tmp / "KDR1.zip"));
    EXPECT_EQ(ReadFileBytes(tmp / "KDR1.dat"), "archive");
    EXPECT_FALSE(TdsIOUtils::MoveFileTo(tmp / "KDR1.zip", tmp / "x"));
    EXPECT_TRUE(TdsIOUtils::MoveFileTo(tmp / "KDR1.dat", tmp / "KDR1.dat"));
    ASSERT_TRUE(TdsIOUtils::MoveFileTo(tmp / "KDR1.dat", tmp / "Temp/"));
    EXPECT_EQ(ReadFileBytes(tmp / "Temp/KDR1.dat"), "archive");

    ASSERT_TRUE(TdsIOUtils::MoveByCopy(tmp / "Temp/KDR1.dat", tmp / "other/moved.dat"));
    EXPECT_FALSE(TdsIOUtils::FileExists(tmp / "Temp/KDR1.dat"));
    EXPECT_EQ(ReadFileBytes(tmp / "other/moved.dat"), "archive");
    EXPECT_FALSE(TdsIOUtils::MoveByCopy(tmp / "Temp/KDR1.dat", tmp / "other/again.dat"));

    // Deleting: missing is fine, read-only goes, a folder does not, a link goes without its target.
    EXPECT_TRUE(TdsIOUtils::DeleteFileForced(tmp / "missing"));
    WriteFileBytes(tmp / "ro", "x");
    chmod((tmp / "ro").c_str(), 0444);
    EXPECT_TRUE(TdsIOUtils::DeleteFileForced(tmp / "ro"));
    EXPECT_FALSE(TdsIOUtils::FileExists(tmp / "ro"));
    EXPECT_FALSE(TdsIOUtils::DeleteFileForced(tmp / "other"));
    ASSERT_EQ(symlink((tmp / "other/moved.dat").c_str(), (tmp / "link").c_str()), 0);
    EXPECT_TRUE(TdsIOUtils::DeleteFileForced(tmp / "link"));
    EXPECT_EQ(ReadFileBytes(tmp / "other/moved.dat"), "archive");
}

TEST(IOUtilsFiles, MoveAcrossFileSystemsCopies) {
    TTempFolder tmp;
    struct stat a, b;
    if (stat(tmp.Path().c_str(), &a) != 0 || stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    WriteFileBytes(tmp / "f.dat", "across");
    const std::string target = "/dev/shm/brindle-move-" + std::to_string(getpid()) + ".dat";
    ASSERT_TRUE(TdsIOUtils::MoveFileTo(tmp / "f.dat", target));
    EXPECT_FALSE(TdsIOUtils::FileExists(tmp / "f.dat"));
    EXPECT_EQ(ReadFileBytes(target), "across");
    unlink(target.c_str());
}

TEST(IOUtilsFiles, ClearFolder) {
    TTempFolder tmp;
    TRecordingDialogs dialogs;
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "Temp/sub/deeper"));
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "keep"));
    WriteFileBytes(tmp / "keep/precious", "mine");
    WriteFileBytes(tmp / "Temp/a.vtd", "a");
    WriteFileBytes(tmp / "Temp/sub/deeper/b", "b");
    chmod((tmp / "Temp/sub/deeper/b").c_str(), 0444);
    chmod((tmp / "Temp/sub/deeper").c_str(), 0555);
    ASSERT_EQ(symlink((tmp / "keep").c_str(), (tmp / "Temp/outside").c_str()), 0);

    EXPECT_TRUE(TdsIOUtils::ClearFolder(tmp / "Temp/"));
    EXPECT_TRUE(TdsIOUtils::FolderExists(tmp / "Temp"));
    EXPECT_TRUE(Listing(tmp / "Temp").empty());
    EXPECT_EQ(ReadFileBytes(tmp / "keep/precious"), "mine"); // the link went, not what it pointed at
    EXPECT_EQ(dialogs.Count(), 0u);

    EXPECT_FALSE(TdsIOUtils::ClearFolder(tmp / "missing/"));
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Boxes()[0].kind, "error");
    EXPECT_EQ(dialogs.Boxes()[0].text, "要清空的目录“" + (tmp / "missing/") + "”不存在！");
}

TEST(IOUtilsFiles, ReadAndWriteWholeFiles) {
    TTempFolder tmp;
    const std::string bytes("\x00\xFF\r\n纳税\x01", 10);
    ASSERT_TRUE(TdsIOUtils::WriteTextFile("a much longer old content", tmp / "f.bin"));
    ASSERT_TRUE(TdsIOUtils::WriteTextFile(bytes, tmp / "f.bin"));
    EXPECT_EQ(TdsIOUtils::ReadTextFile(tmp / "f.bin"), bytes);
    EXPECT_EQ(TdsIOUtils::FileToBase64(tmp / "f.bin"), TdsIOUtils::Base64Encode(bytes));
    EXPECT_EQ(Listing(tmp.Path()), (std::set<std::string>{"f.bin"}));

    std::string text = "x";
    EXPECT_FALSE(TdsIOUtils::TryReadTextFile(tmp / "missing", text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(TdsIOUtils::WriteTextFile("", tmp / "empty"));
    EXPECT_TRUE(TdsIOUtils::TryReadTextFile(tmp / "empty", text));
    EXPECT_EQ(text, "");

    EXPECT_FALSE(TdsIOUtils::WriteTextFile("x", tmp / "no/such/folder/f"));
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "dir"));
    EXPECT_FALSE(TdsIOUtils::WriteTextFile("x", tmp / "dir"));
    EXPECT_TRUE(TdsIOUtils::FolderExists(tmp / "dir"));
    EXPECT_TRUE(Listing(tmp / "dir").empty());

    EXPECT_EQ(TdsIOUtils::StreamToText(std::vector<unsigned char>{'a', 0, 0xFF}), std::string("a\0\xFF", 3));
    EXPECT_EQ(TdsIOUtils::StreamToText(nullptr, 0), "");
}

TEST(IOUtilsBase64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(TdsIOUtils::Base64Encode(plain), encoded);
        EXPECT_EQ(TdsIOUtils::Base64Decode(encoded), plain);
    }
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    EXPECT_EQ(TdsIOUtils::Base64Decode(TdsIOUtils::Base64Encode(all)), all);
}

TEST(IOUtilsBase64, LineBreakPairsRemovedOtherDamageRaises) {
    EXPECT_EQ(TdsIOUtils::Base64Decode("Zm9v\r\nYmFy"), "foobar");
    EXPECT_EQ(TdsIOUtils::Base64Decode("Zm9v\n\rYmFy\r\n"), "foobar");
    for (const char* damaged : {"Zm9v\nYmFy", "Zm9", "Zm9!", "Zg=a", "=Zg=", "Zg==Zm8=", "Z===", "Zm 9v"})
        EXPECT_THROW(TdsIOUtils::Base64Decode(damaged), EdsError) << damaged;
}

TEST(IOUtilsZlib, RoundTripAndDamage) {
    std::string big;
    for (int i = 0; i < 200000; ++i)
        big += static_cast<char>((i * 7) % 251);
    for (const std::string& data : {std::string(), std::string("纳税申报"), big}) {
        std::string packed = TdsIOUtils::ZipText(data);
        ASSERT_GE(packed.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x78); // RFC 1950 header
        EXPECT_EQ(TdsIOUtils::UnzipText(packed), data);
    }
    // A stream from another zlib user reads back.
    TTempFolder tmp;
    ASSERT_EQ(
        RunCommand(
            "python3 -c \"import zlib,sys; sys.stdout.buffer.write(zlib.compress(b'peer text', 9))\" > " +
            tmp / "peer.z"),
        0);
    EXPECT_EQ(TdsIOUtils::UnzipText(ReadFileBytes(tmp / "peer.z")), "peer text");

    std::string packed = TdsIOUtils::ZipText(big);
    std::string flipped = packed;
    flipped[packed.size() / 2] ^= 0x55;
    for (const std::string& damaged :
         {packed.substr(0, packed.size() / 2), flipped, std::string(), std::string("xyz")})
        EXPECT_THROW(TdsIOUtils::UnzipText(damaged), EdsError);
    EXPECT_EQ(TdsIOUtils::UnzipText(TdsIOUtils::Base64Decode(TdsIOUtils::ZipBase64("log entry"))),
              "log entry");
}
