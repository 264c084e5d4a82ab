#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

using namespace qv5;
namespace fs = std::filesystem;

TEST(FullPathName, NormalisesLexically)
{
    std::string full;
    ASSERT_TRUE(fullPathName("/a//b/./c/../d/", full));
    EXPECT_EQ(full, "/a/b/d");
    ASSERT_TRUE(fullPathName("/a\\b\\", full));
    EXPECT_EQ(full, "/a/b");
    ASSERT_TRUE(fullPathName("/..", full));
    EXPECT_EQ(full, "/");
    ASSERT_TRUE(fullPathName("x", full));
    EXPECT_EQ(full, (fs::current_path() / "x").string());
    EXPECT_FALSE(fullPathName("/" + std::string(1023, 'n'), full));
    EXPECT_TRUE(fullPathName("/" + std::string(1022, 'n'), full));
}

TEST(OpenRead, OpensRegularFilesOnlyAndMeasuresThemInPlace)
{
    fs::path root = fs::temp_directory_path() / "qv5-unit-open-read";
    fs::remove_all(root);
    fs::create_directories(root / "folder");
    std::ofstream(root / "file.bin", std::ios::binary) << std::string(70000, 'q');
    // A fifo without a writer: opening it must neither block nor succeed.
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);

    FILE* file = openRead((root / "file.bin").string());
    ASSERT_NE(file, nullptr);
    char first[3] = {};
    ASSERT_EQ(std::fread(first, 1, 2, file), 2u);
    int64_t size = 0;
    ASSERT_TRUE(sizeOfFile(file, size));
    EXPECT_EQ(size, 70000);
    EXPECT_EQ(tellFile(file), 2); // measuring leaves the position where it was
    EXPECT_EQ(std::string(first), "qq");
    std::fclose(file);

    // Measuring without a stream answers as opening and measuring one would.
    size = 0;
    EXPECT_EQ(sizeOfReadable((root / "file.bin").string(), size), ReadableSize::measured);
    EXPECT_EQ(size, 70000);
    for (const char* name : {"folder", "fifo", "missing"}) {
        EXPECT_EQ(openRead((root / name).string()), nullptr) << name;
        EXPECT_EQ(sizeOfReadable((root / name).string(), size), ReadableSize::unopened) << name;
        EXPECT_FALSE(lastFailureReason().empty()) << name;
    }
    fs::remove_all(root);
}

// The enumeration says what stands where, never opening it: special files and links that
// lead nowhere are listed as such, a name or folder that is not there is nothing (with the
// system's reason kept), a folder that cannot be read a failure.
TEST(FindEntries, ReportsSpecialFilesAndWhyNothingWasFound)
{
    fs::path root = fs::temp_directory_path() / "qv5-unit-find-entries";
    fs::remove_all(root);
    fs::create_directories(root / "folder");
    std::ofstream(root / "file") << "f";
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
    fs::create_symlink(root / "missing", root / "dangling");
    fs::create_symlink("/dev/null", root / "null");
    fs::create_symlink(root / "folder", root / "folderlink");
    auto at = [&](const char* name) { return (root / name).string(); };

    std::vector<DirEntry> entries;
    ASSERT_EQ(findEntries(at("*"), entries), Listed::entries);
    std::vector<std::string> seen;
    for (const DirEntry& entry : entries) {
        std::string kind = entry.isFolder ? "folder" : "file";
        if (entry.special == Special::fifo) kind = "fifo";
        if (entry.special == Special::device) kind = "device";
        if (entry.dangling) kind = "dangling";
        seen.push_back(entry.name + ":" + kind + (entry.isLink ? "+link" : ""));
        EXPECT_TRUE(entry.unreadable.empty()) << entry.name;
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{".:folder", "..:folder", "dangling:dangling+link", "fifo:fifo", "file:file",
                                        "folder:folder", "folderlink:folder+link", "null:device+link"}));

    clearFailure();
    EXPECT_EQ(lastFailureReason(), "");
    EXPECT_EQ(findEntries(at("missing"), entries), Listed::nothing);
    EXPECT_EQ(lastFailureReason(), std::strerror(ENOENT));
    EXPECT_EQ(findEntries(at("file/below"), entries), Listed::nothing);
    EXPECT_EQ(lastFailureReason(), std::strerror(ENOTDIR));
    EXPECT_EQ(findEntries(at("none/*"), entries), Listed::nothing);
    EXPECT_EQ(findEntries(at("folder/*.none"), entries), Listed::nothing);
    EXPECT_EQ(findEntries(at("fifo"), entries), Listed::entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].special, Special::fifo);
    if (::geteuid() != 0) { // root reads any folder
        ::chmod(at("folder").c_str(), 0);
        EXPECT_EQ(findEntries(at("folder/*"), entries), Listed::failed);
        EXPECT_EQ(lastFailureReason(), std::strerror(EACCES));
        ::chmod(at("folder").c_str(), 0700);
    }

    // A call that fails keeps its reason, the system's or the program's own.
    EXPECT_EQ(openRead(at("fifo")), nullptr);
    EXPECT_EQ(lastFailureReason(), "not a regular file");
    EXPECT_EQ(openRead(at("missing")), nullptr);
    EXPECT_EQ(lastFailureReason(), std::strerror(ENOENT));
    EXPECT_EQ(openWrite(at("missing/x")), nullptr);
    EXPECT_EQ(lastFailureReason(), std::strerror(ENOENT));
    // A query does not replace it.
    EXPECT_EQ(entryKindOf(at("none")), EntryKind::missing);
    EXPECT_EQ(stateBelow(*holdFolder(root.string(), false), "none").kind, EntryKind::missing);
    EXPECT_EQ(lastFailureReason(), std::strerror(ENOENT));
    // Failing to make a folder is why it cannot be held, not that it is then missing.
    EXPECT_EQ(holdFolder(at("fifo/sub"), true), nullptr);
    EXPECT_EQ(lastFailureReason(), std::strerror(ENOTDIR));
    fs::remove_all(root);
}

// Everything extraction makes is reached from a held folder one name at a time: never
// through a link, never into anything but a regular file it made.
TEST(OutputBelowFolder, NeverFollowsLinksOrOpensSpecialFiles)
{
    fs::path root = fs::temp_directory_path() / "qv5-unit-output-entries";
    fs::remove_all(root);
    fs::create_directories(root / "folder");
    std::ofstream(root / "target") << "precious";
    fs::create_symlink(root / "target", root / "link");
    fs::create_symlink(root / "missing", root / "dangling");
    fs::create_symlink(root / "folder", root / "folderlink");
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
    auto at = [&](const char* name) { return (root / name).string(); };
    HeldFolderPtr held = holdFolder(root.string(), false);
    ASSERT_NE(held, nullptr);
    const HeldFolder& here = *held;

    EXPECT_EQ(entryKindOf(at("dangling")), EntryKind::link);
    EXPECT_EQ(entryKindOf(at("target/below")), EntryKind::missing);
    const std::pair<const char*, EntryKind> kinds[] = {{"target", EntryKind::file},    {"link", EntryKind::link},
                                                       {"dangling", EntryKind::link},  {"folderlink", EntryKind::link},
                                                       {"fifo", EntryKind::other},     {"folder", EntryKind::folder},
                                                       {"missing", EntryKind::missing}};
    for (const auto& [name, kind] : kinds) EXPECT_EQ(stateBelow(here, name).kind, kind) << name;

    // A folder is held only as itself: a link to one stops the walk.
    HeldFolderPtr below;
    bool created = true;
    EXPECT_EQ(holdFolderBelow(here, "folderlink", true, below, created), Reached::link);
    EXPECT_EQ(holdFolderBelow(here, "target", true, below, created), Reached::other);
    EXPECT_EQ(holdFolderBelow(here, "nothing", false, below, created), Reached::missing);
    EXPECT_EQ(holdFolderBelow(here, "made", true, below, created), Reached::folder);
    EXPECT_TRUE(created && fs::is_directory(root / "made"));
    EXPECT_EQ(holdFolderBelow(here, "made", true, below, created), Reached::folder);
    EXPECT_FALSE(created);

    // Nothing may stand where a file is created exclusively, not even a dangling link.
    for (const char* name : {"target", "link", "dangling", "fifo", "folder"}) {
        EXPECT_EQ(createFileBelow(here, name), nullptr) << name;
    }
    EXPECT_FALSE(fs::exists(root / "missing"));
    // Reading takes regular files only: never through a link, never a FIFO (which would block).
    for (const char* name : {"link", "dangling", "fifo", "folder", "missing"}) {
        EXPECT_EQ(readFileBelow(here, name, FileIdentity()), nullptr) << name;
    }
    // Replacing puts a new file where anything but a folder stands, never writing through what
    // stood there: the other name of a hard-linked file keeps its bytes, and no temporary is left.
    EXPECT_EQ(replaceFileBelow(here, "folder"), nullptr);
    EXPECT_EQ(replaceFileBelow(here, "missing"), nullptr);
    fs::create_hard_link(root / "target", root / "hard");
    fs::permissions(root / "hard", fs::perms(0640));
    FILE* replaced = replaceFileBelow(here, "hard");
    ASSERT_NE(replaced, nullptr);
    std::fputs("other", replaced);
    std::fclose(replaced);
    EXPECT_EQ(fs::hard_link_count(root / "target"), 1u);
    EXPECT_EQ(fs::file_size(root / "target"), 8u);
    EXPECT_EQ(fs::file_size(root / "hard"), 5u);
    EXPECT_EQ(int(fs::status(root / "hard").permissions()), 0640); // the user's own file's mode
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root)) ++entries;
    EXPECT_EQ(entries, 8u);
    // A FIFO made is known by the identity of what its handle reaches, checked to be it.
    FileIdentity fifo;
    ASSERT_TRUE(createSpecialBelow(here, "made-fifo", SpecialKind::fifo, 0, 0, fifo));
    EXPECT_TRUE(fifo.valid && sameFile(fifo, stateBelow(here, "made-fifo").identity));
    EXPECT_FALSE(createSpecialBelow(here, "made-fifo", SpecialKind::fifo, 0, 0, fifo));
    EXPECT_FALSE(fifo.valid);
    EXPECT_TRUE(removeBelow(here, "made-fifo"));
    // Removing a link removes the link, not what it leads to.
    EXPECT_TRUE(removeBelow(here, "link"));
    EXPECT_FALSE(fs::is_symlink(root / "link"));
    FILE* file = createFileBelow(here, "link");
    ASSERT_NE(file, nullptr);
    const FileIdentity made = identityOfFile(file);
    std::fputs("new", file);
    std::fclose(file);
    std::ifstream in(root / "target");
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "precious");

    // Times and modes go only to the entry expected, and never through a link.
    RestorePlan plan;
    plan.modifiedNs = 1000000000;
    plan.mode = 0640;
    EXPECT_FALSE(restoreBelow(here, "target", made, plan).time);
    EXPECT_FALSE(restoreBelow(here, "dangling", made, plan).mode);
    Restored restored = restoreBelow(here, "link", made, plan);
    EXPECT_TRUE(restored.time && restored.mode);
    struct stat st;
    ASSERT_EQ(::stat((root / "link").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1);
    EXPECT_EQ(fs::status(root / "link").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    FILE* read = readFileBelow(here, "link", made);
    ASSERT_NE(read, nullptr);
    std::fclose(read);
    EXPECT_EQ(readFileBelow(here, "target", made), nullptr); // another file than the one expected

    // A chain of links, relative and absolute, ends at its last target even when missing.
    fs::create_symlink("dangling", root / "chain");
    std::string target;
    ASSERT_TRUE(linkTarget(at("chain"), target));
    EXPECT_EQ(target, at("missing"));
    ASSERT_TRUE(linkTarget(at("target"), target));
    EXPECT_EQ(target, at("target"));
    fs::create_symlink("loop", root / "loop");
    EXPECT_FALSE(linkTarget(at("loop"), target));

    held.reset();
    // The temporary file beside an archive takes over its permission bits and is renamed
    // onto it in one step.
    ::chmod(at("target").c_str(), 0640);
    std::string temporary;
    file = createTemporaryBeside(at("target"), temporary);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(temporary.rfind(at("target") + ".tmp-", 0), 0u) << temporary;
    std::fputs("replacement", file);
    std::fclose(file);
    EXPECT_EQ(fs::status(temporary).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(replaceWith(temporary, at("target")));
    forgetTemporary();
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_EQ(fs::file_size(root / "target"), 11u);
    fs::remove_all(root);
}
