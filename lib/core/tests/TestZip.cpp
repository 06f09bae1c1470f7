// Zip packing and extraction against real peers: Info-ZIP zip/unzip and Python's zipfile.
#include "UTestSupport.h"
#include "UdsIOUtils.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

namespace fs = std::filesystem;

namespace {

// Runs a Python script with arguments; the output (stdout and stderr) goes into out.
int Python(const TTempFolder& tmp, const std::string& script, const std::string& args,
           std::string* out = nullptr) {
    WriteFileBytes(tmp / "script.py", script);
    return RunCommand("python3 " + tmp / "script.py" + " " + args + " 2>&1", out);
}

// Every file (content) and folder ("<dir>") below root, by relative path; links are listed as such.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            tree[rel] = "<link>";
        else if (e.is_directory())
            tree[rel + "/"] = "<dir>";
        else
            tree[rel] = ReadFileBytes(e.path().string());
    }
    return tree;
}

std::string Varied(size_t size, unsigned seed) {
    std::string s;
    unsigned x = seed;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s += "KDR row " + std::to_string((x >> 16) % 977) + (x & 0x100 ? " 00 84 00 00 08\n" : ";");
    }
    s.resize(size);
    return s;
}

// The folder with a sample tree: subfolders, an empty file, a Chinese name, an empty folder.
void MakeSampleTree(const std::string& src) {
    ASSERT_TRUE(TdsIOUtils::ForceFolders(src + "sub/deeper"));
    ASSERT_TRUE(TdsIOUtils::ForceFolders(src + "empty_dir"));
    WriteFileBytes(src + "a.txt", "alpha");
    WriteFileBytes(src + "sub/b.bin", Varied(100000, 7) + std::string("\0\xFF", 2));
    WriteFileBytes(src + "sub/deeper/c.txt", "gamma");
    WriteFileBytes(src + "empty.txt", "");
    WriteFileBytes(src + "中文名.txt", "汉字内容");
}

} // namespace

TEST(Zip, ZipFilesWritesBareDeflatedEntriesInOrder) {
    TTempFolder tmp;
    const std::string card = tmp / "Temp/KDR_Card_T1G1.vtd";
    const std::string disk = tmp / "other/KDR_Disk_201_T1G1.vtd";
    const std::string chinese = tmp / "other/数据.txt";
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "Temp"));
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "other"));
    WriteFileBytes(card, Varied(50000, 1));
    WriteFileBytes(disk, Varied(20000, 2));
    WriteFileBytes(chinese, "汉字");
    const std::string archive = tmp / "Temp/KDR_T1G1.zip";
    WriteFileBytes(archive, "an old archive in the way");
    chmod(archive.c_str(), 0444);

    ASSERT_TRUE(TdsIOUtils::ZipFiles({card, disk, chinese}, archive));

    // Python: entry names, method, encryption flag, content and the size a level-6 deflate gives.
    std::string out;
    ASSERT_EQ(Python(tmp, R"(
import sys, zipfile, zlib
z = zipfile.ZipFile(sys.argv[1])
for info, src in zip(z.infolist(), sys.argv[2:]):
    data = open(src, 'rb').read()
    c = zlib.compressobj(6, zlib.DEFLATED, -15, 9)
    level6 = len(c.compress(data) + c.flush())
    print(info.filename, info.compress_type, info.flag_bits & 1, int(z.read(info) == data),
          int(info.compress_size == level6), sep='|')
print(len(z.infolist()), z.testzip())
)",
                     archive + " " + card + " " + disk + " " + chinese, &out),
              0)
        << out;
    EXPECT_EQ(out, "KDR_Card_T1G1.vtd|8|0|1|1\n"
                   "KDR_Disk_201_T1G1.vtd|8|0|1|1\n"
                   "数据.txt|8|0|1|1\n"
                   "3 None\n");

    // Info-ZIP lists the same entries in the same order and finds no errors.
    ASSERT_EQ(RunCommand("unzip -Z1 " + archive, &out), 0);
    EXPECT_EQ(out, "KDR_Card_T1G1.vtd\nKDR_Disk_201_T1G1.vtd\n数据.txt\n");
    EXPECT_EQ(RunCommand("unzip -tq " + archive, &out), 0) << out;
    // Only the archive is left in its folder: no temporary files.
    EXPECT_EQ(Tree(tmp / "Temp").size(), 2u);
}

TEST(Zip, ZipFilesRefusesAndLeavesNoArchive) {
    TTempFolder tmp;
    WriteFileBytes(tmp / "a.vtd", "a");
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "sub"));
    WriteFileBytes(tmp / "sub/a.vtd", "same name");
    struct Case {
        std::vector<std::string> files;
        std::string archive;
    } cases[] = {
        {{}, tmp / "empty.zip"},
        {{tmp / "a.vtd", tmp / "missing.vtd"}, tmp / "missing.zip"},
        {{tmp / "a.vtd", tmp / "sub/a.vtd"}, tmp / "twice.zip"},
        {{tmp / "a.vtd", tmp / "sub"}, tmp / "folder.zip"},
        {{tmp / "a.vtd"}, tmp / "no/such/folder/x.zip"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(TdsIOUtils::ZipFiles(c.files, c.archive)) << c.archive;
        EXPECT_FALSE(fs::exists(c.archive)) << c.archive;
    }
    EXPECT_EQ(Tree(tmp.Path()).size(), 3u); // a.vtd, sub/, sub/a.vtd: nothing else was written
}

TEST(Zip, PeerArchivesUnpack) {
    TTempFolder tmp;
    const std::string src = tmp / "src/";
    MakeSampleTree(src);
    const auto expected = Tree(src);
    ASSERT_EQ(RunCommand("cd " + src + " && zip -q -r " + tmp / "infozip.zip" + " ."), 0);
    std::string out;
    ASSERT_EQ(Python(tmp, R"(
import os, sys, zipfile
root = sys.argv[1]
with zipfile.ZipFile(sys.argv[2], 'w', zipfile.ZIP_DEFLATED) as z:
    for folder, dirs, files in os.walk(root):
        for name in sorted(dirs) + sorted(files):
            path = os.path.join(folder, name)
            z.write(path, os.path.relpath(path, root))
)",
                     src + " " + tmp / "python.zip", &out),
              0)
        << out;

    for (const std::string maker : {"infozip", "python"}) {
        SCOPED_TRACE(maker);
        const std::string archive = tmp / (maker + ".zip");
        ASSERT_EQ(Python(tmp, "import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).namelist()))",
                         archive, &out),
                  0);
        const int entries = std::stoi(out);
        ASSERT_GE(entries, 8); // five files and three folders

        // UnzipAll into a new folder: the same tree, every entry counted.
        EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "", false, tmp / (maker + "/all/")), entries);
        EXPECT_EQ(Tree(tmp / (maker + "/all/")), expected);

        // UnzipFirst empties the folder first and gives the name-sorted first top-level file.
        const std::string first = tmp / (maker + "/first/");
        ASSERT_TRUE(TdsIOUtils::ForceFolders(first + "0dir"));
        WriteFileBytes(first + "0stale.txt", "stale");
        WriteFileBytes(first + "0dir/x", "stale");
        std::string firstFile;
        ASSERT_TRUE(TdsIOUtils::UnzipFirst(archive, first, firstFile));
        EXPECT_EQ(firstFile, first + "a.txt");
        EXPECT_EQ(Tree(first), expected);

        // UnzipTo a folder given without "/", over a read-only file, deleting the archive afterwards.
        const std::string to = tmp / (maker + "/to");
        ASSERT_TRUE(TdsIOUtils::ForceFolders(to));
        WriteFileBytes(to + "/a.txt", "old");
        chmod((to + "/a.txt").c_str(), 0444);
        EXPECT_EQ(TdsIOUtils::UnzipTo(archive, to, true), entries);
        EXPECT_EQ(Tree(to), expected);
        EXPECT_FALSE(fs::exists(archive));
    }
}

TEST(Zip, MissingBrokenAndEmptyArchives) {
    TTempFolder tmp;
    TRecordingDialogs dialogs;
    const std::string missing = tmp / "KDR_missing.zip";
    EXPECT_EQ(TdsIOUtils::UnzipAll(missing, "", false, tmp / "out/"), -1);
    ASSERT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Boxes()[0].kind, "error");
    EXPECT_EQ(dialogs.Boxes()[0].text, "待解压文件“" + missing + "”不存在！");
    dialogs.Clear();
    EXPECT_EQ(TdsIOUtils::UnzipTo(missing, tmp / "out/", false), -1);
    EXPECT_EQ(dialogs.Count(), 0u);

    // Not an archive: -1, and the file is kept although deleting was asked for.
    WriteFileBytes(tmp / "broken.zip", "PK\x03\x04 this is not really a zip archive");
    EXPECT_EQ(TdsIOUtils::UnzipTo(tmp / "broken.zip", tmp / "out/", true), -1);
    EXPECT_TRUE(fs::exists(tmp / "broken.zip"));

    // An archive without entries: nothing extracted, and UnzipFirst has no first file.
    std::string out;
    ASSERT_EQ(Python(tmp, "import sys, zipfile; zipfile.ZipFile(sys.argv[1], 'w').close()", tmp / "empty.zip",
                     &out),
              0)
        << out;
    EXPECT_EQ(TdsIOUtils::UnzipTo(tmp / "empty.zip", tmp / "out/", false), 0);
    std::string firstFile = "x";
    EXPECT_FALSE(TdsIOUtils::UnzipFirst(tmp / "empty.zip", tmp / "out/", firstFile));
    EXPECT_EQ(firstFile, "");

    // A target folder that cannot be emptied (missing) stops UnzipFirst before extracting.
    dialogs.Clear();
    EXPECT_FALSE(TdsIOUtils::UnzipFirst(tmp / "empty.zip", tmp / "nowhere/", firstFile));
    EXPECT_TRUE(dialogs.Has("error", "要清空的目录“" + (tmp / "nowhere/") + "”不存在！"))
        << dialogs.Transcript();
    EXPECT_FALSE(fs::exists(tmp / "nowhere"));
}

TEST(Zip, TraditionalPasswordArchive) {
    TTempFolder tmp;
    const std::string src = tmp / "src/";
    MakeSampleTree(src);
    const std::string archive = tmp / "enc.zip";
    ASSERT_EQ(RunCommand("cd " + src + " && zip -q -P secret " + archive + " a.txt sub/b.bin"), 0);

    EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "secret", false, tmp / "ok/"), 2);
    EXPECT_EQ(ReadFileBytes(tmp / "ok/a.txt"), "alpha");
    EXPECT_EQ(ReadFileBytes(tmp / "ok/sub/b.bin"), ReadFileBytes(src + "sub/b.bin"));

    EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "", false, tmp / "none/"), -1);
    EXPECT_EQ(TdsIOUtils::UnzipTo(archive, tmp / "none/", true), -1);
    EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "wrong", true, tmp / "wrong/"), -1);
    EXPECT_TRUE(Tree(tmp / "none/").empty());
    for (const auto& [path, content] : Tree(tmp / "wrong/"))
        EXPECT_EQ(content, "<dir>") << path;
    EXPECT_TRUE(fs::exists(archive));
}

TEST(Zip, AesPasswordArchive) {
    if (!zip_encryption_method_supported(ZIP_EM_AES_256, 1))
        GTEST_SKIP() << "libzip without AES";
    TTempFolder tmp;
    const std::string archive = tmp / "aes.zip";
    const std::string content = Varied(30000, 3);
    int error = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
    ASSERT_NE(za, nullptr);
    zip_source_t* source = zip_source_buffer(za, content.data(), content.size(), 0);
    zip_int64_t index = zip_file_add(za, "result.xml", source, 0);
    ASSERT_GE(index, 0);
    ASSERT_EQ(zip_file_set_encryption(za, static_cast<zip_uint64_t>(index), ZIP_EM_AES_256, "secret"), 0);
    ASSERT_EQ(zip_close(za), 0);
    // Python sees the AES marker method (99): the entry really is AES encrypted.
    std::string out;
    ASSERT_EQ(Python(tmp,
                     "import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).infolist()[0].compress_type)",
                     archive, &out),
              0);
    EXPECT_EQ(out, "99\n");

    EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "secret", false, tmp / "ok/"), 1);
    EXPECT_EQ(ReadFileBytes(tmp / "ok/result.xml"), content);
    EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "", false, tmp / "bad/"), -1);
    EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "wrong", false, tmp / "bad/"), -1);
    EXPECT_TRUE(Tree(tmp / "bad/").empty());
}

namespace {

// Builds archives, one per argument "archive|entry|entry…", each with "ok.txt" first and then the entries:
// "name" (a file) or "link:name=target" (a symbolic link entry). Prints the names read back, one
// archive a line, joined with "|".
const char* kHostileBuilder = R"(
import sys, zipfile
for arg in sys.argv[1:]:
    archive, *specs = arg.split('|')
    with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('ok.txt', 'fine')
        for spec in specs:
            if spec.startswith('link:'):
                name, target = spec[5:].split('=', 1)
                info = zipfile.ZipInfo(name)
                info.create_system = 3
                info.external_attr = 0o120777 << 16
                z.writestr(info, target)
            else:
                z.writestr(zipfile.ZipInfo(spec), 'evil')
    print('|'.join(zipfile.ZipFile(archive).namelist()))
)";

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

} // namespace

TEST(Zip, HostileArchivesAreRefusedWhole) {
    struct Case {
        std::string entry;
        std::string linkInTarget; // "name=target" of a link made in the target folder first
    } cases[] = {
        {"../evil.txt", ""},
        {"a/../../evil.txt", ""},
        {"/tmp/brindle-abs-evil/evil.txt", ""},
        {"..\\evil.txt", ""},
        {"\\tmp\\brindle-abs-evil\\evil.txt", ""},
        {"C:/evil.txt", ""},
        {"c:\\evil.txt", ""},
        {"sub/..", ""},
        {"link:evil.txt=../outside/evil.txt", ""},
        {"link:escape=../outside", ""},
        {"linkdir/evil.txt", "linkdir=OUTSIDE"},
        {"linkdir/sub/", "linkdir=OUTSIDE"},
        {"rel/evil.txt", "rel=../outside"},
    };
    TTempFolder tmp;
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "zips"));
    std::string args, expected;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string& entry = cases[i].entry;
        args += " " + Quote(tmp / ("zips/" + std::to_string(i) + ".zip") + "|" + entry);
        expected +=
            "ok.txt|" + (entry.rfind("link:", 0) == 0 ? entry.substr(5, entry.find('=') - 5) : entry) + "\n";
    }
    std::string out;
    ASSERT_EQ(Python(tmp, kHostileBuilder, args, &out), 0) << out;
    ASSERT_EQ(out, expected); // the peer stored the hostile names as given

    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.entry);
        const std::string area = tmp / ("case" + std::to_string(i) + "/");
        const std::string target = area + "target/";
        ASSERT_TRUE(TdsIOUtils::ForceFolders(target));
        ASSERT_TRUE(TdsIOUtils::ForceFolders(area + "outside"));
        if (!c.linkInTarget.empty()) {
            std::string name = c.linkInTarget.substr(0, c.linkInTarget.find('='));
            std::string to = c.linkInTarget.substr(c.linkInTarget.find('=') + 1);
            if (to == "OUTSIDE")
                to = area + "outside";
            ASSERT_EQ(symlink(to.c_str(), (target + name).c_str()), 0);
        }
        const auto before = Tree(area);
        const std::string archive = tmp / ("zips/" + std::to_string(i) + ".zip");

        EXPECT_EQ(TdsIOUtils::UnzipAll(archive, "", true, target), -1);
        // Nothing written anywhere, not even ok.txt; the archive stays.
        EXPECT_EQ(Tree(area), before);
        EXPECT_TRUE(fs::exists(archive));
        EXPECT_FALSE(fs::exists(tmp / "evil.txt"));
        EXPECT_FALSE(fs::exists("/tmp/brindle-abs-evil"));
        EXPECT_FALSE(fs::exists("/evil.txt"));
    }
}

TEST(Zip, LinksAlreadyInTargetAndUnusualNames) {
    TTempFolder tmp;
    const std::string target = tmp / "target/";
    ASSERT_TRUE(TdsIOUtils::ForceFolders(target + "real"));
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "outside"));
    WriteFileBytes(tmp / "outside/secret.txt", "secret");
    // A link that stays inside the target may be passed through; a link at a file's place is replaced
    // by the file, never written through.
    ASSERT_EQ(symlink("real", (target + "inner").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "outside/secret.txt").c_str(), (target + "victim.txt").c_str()), 0);
    std::string out;
    ASSERT_EQ(Python(tmp, kHostileBuilder,
                     Quote(tmp / "a.zip" +
                           "|inner/x.txt|victim.txt|v1..2.txt|...|a/.hidden|./dot/./y.txt|win\\sub\\z.txt"),
                     &out),
              0)
        << out;

    EXPECT_EQ(TdsIOUtils::UnzipAll(tmp / "a.zip", "", false, target), 8);
    EXPECT_EQ(ReadFileBytes(target + "real/x.txt"), "evil");
    EXPECT_EQ(ReadFileBytes(tmp / "outside/secret.txt"), "secret");
    EXPECT_EQ(Tree(tmp / "outside"), (std::map<std::string, std::string>{{"secret.txt", "secret"}}));
    struct stat st;
    ASSERT_EQ(lstat((target + "victim.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    for (const char* name :
         {"ok.txt", "victim.txt", "v1..2.txt", "...", "a/.hidden", "dot/y.txt", "win/sub/z.txt"})
        EXPECT_TRUE(fs::is_regular_file(target + name)) << name;
}

TEST(Zip, ConflictingEntriesAndFolderInTheWay) {
    TTempFolder tmp;
    std::string out;
    ASSERT_EQ(Python(tmp, kHostileBuilder, Quote(tmp / "conflict.zip|x|x/y"), &out), 0) << out;
    EXPECT_EQ(TdsIOUtils::UnzipTo(tmp / "conflict.zip", tmp / "t1/", false), -1);
    EXPECT_TRUE(Tree(tmp / "t1/").empty());

    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "t2/clash/inner"));
    ASSERT_EQ(Python(tmp, kHostileBuilder, Quote(tmp / "clash.zip|clash"), &out), 0) << out;
    EXPECT_EQ(TdsIOUtils::UnzipTo(tmp / "clash.zip", tmp / "t2/", false), -1);
    EXPECT_EQ(Tree(tmp / "t2/"),
              (std::map<std::string, std::string>{{"clash/", "<dir>"}, {"clash/inner/", "<dir>"}}));
}

TEST(Zip, EntryLargerThanDeclaredIsRefused) {
    TTempFolder tmp;
    // A deflated MiB of zeros whose local and central headers claim 1000 bytes.
    std::string out;
    ASSERT_EQ(Python(tmp, R"(
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('ok.txt', 'fine')
    z.writestr('bomb.bin', bytes(1 << 20))
data = bytearray(open(sys.argv[1], 'rb').read())
local = data.find(b'PK\x03\x04', 1)
struct.pack_into('<I', data, local + 22, 1000)
central = [i for i in range(len(data)) if data[i:i + 4] == b'PK\x01\x02'][1]
struct.pack_into('<I', data, central + 24, 1000)
open(sys.argv[1], 'wb').write(data)
print(zipfile.ZipFile(sys.argv[1]).getinfo('bomb.bin').file_size)
)",
                     tmp / "bomb.zip", &out),
              0)
        << out;
    ASSERT_EQ(out, "1000\n");
    EXPECT_EQ(TdsIOUtils::UnzipTo(tmp / "bomb.zip", tmp / "out/", false), -1);
    EXPECT_FALSE(fs::exists(tmp / "out/bomb.bin"));
    for (const auto& [path, content] : Tree(tmp / "out/"))
        EXPECT_EQ(path, "ok.txt"); // at most the entry before; no temporary file stays
}

TEST(Zip, LargeEntryIsStreamed) {
    TTempFolder tmp;
    const long size = 96L << 20;
    std::string out;
    ASSERT_EQ(Python(tmp, R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    with z.open('big.bin', 'w') as f:
        for i in range(96):
            f.write(bytes([i]) * (1 << 20))
)",
                     tmp / "big.zip", &out),
              0)
        << out;
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    ASSERT_EQ(TdsIOUtils::UnzipTo(tmp / "big.zip", tmp / "out/", true), 1);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(TdsIOUtils::FileSize(tmp / "out/big.bin"), size);
    // Peak memory must not grow by anything near the entry's size.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32L * 1024) << "KiB";
    // Spot checks of the content: each MiB holds its index.
    FILE* f = fopen((tmp / "out/big.bin").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (long mib : {0L, 1L, 50L, 95L}) {
        fseek(f, mib << 20, SEEK_SET);
        EXPECT_EQ(fgetc(f), static_cast<int>(mib));
    }
    fclose(f);
}

TEST(Zip, Cp936EntryNamesBecomeUtf8) {
    // Windows programs store names in the ANSI code page without the UTF-8 flag.
    TTempFolder tmp;
    std::string out;
    ASSERT_EQ(Python(tmp, R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('abcd.txt', 'gbk named')
data = open(sys.argv[1], 'rb').read().replace(b'abcd.txt', '数据.txt'.encode('gbk'))
open(sys.argv[1], 'wb').write(data)
print(zipfile.ZipFile(sys.argv[1]).infolist()[0].flag_bits & 0x800)
)",
                     tmp / "gbk.zip", &out),
              0)
        << out;
    ASSERT_EQ(out, "0\n");
    std::string first;
    ASSERT_TRUE(TdsIOUtils::ForceFolders(tmp / "out"));
    ASSERT_TRUE(TdsIOUtils::UnzipFirst(tmp / "gbk.zip", tmp / "out/", first));
    EXPECT_EQ(first, tmp / "out/数据.txt");
    EXPECT_EQ(ReadFileBytes(tmp / "out/数据.txt"), "gbk named");
}
