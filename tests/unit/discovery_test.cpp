#include "input/discovery.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace qv5;
namespace fs = std::filesystem;

TEST(ChildPattern, KeepsTheSeparatorOfTheSearchPath)
{
    EXPECT_EQ(childPattern("C:\\work\\docs", "sub"), "C:\\work\\sub\\*.*");
    EXPECT_EQ(childPattern("/work/*.txt", "dir.txt"), "/work/dir.txt/*.*");
    EXPECT_EQ(childPattern("docs", "sub"), "sub\\*.*");
}

TEST(FindInputs, StoredNamesBeginAtTheContainingFolder)
{
    fs::path root = fs::temp_directory_path() / "qv5-unit-discovery";
    fs::remove_all(root);
    fs::create_directories(root / "docs" / "sub");
    fs::create_directories(root / "docs" / ".git");
    for (const char* name : {"docs/b.txt", "docs/sub/c.txt", "docs/.git/config", "docs/.hidden", "a.txt"})
        std::ofstream(root / name) << name;

    InputList list;
    ASSERT_FALSE(findInputs(list, (root / "docs").string()));
    ASSERT_FALSE(findInputs(list, (root / "a.txt").string()));
    ASSERT_FALSE(findInputs(list, (root / "none*").string()));
    std::vector<std::string> stored;
    for (const SourceItem& item : list) {
        stored.push_back(item.storedName);
        EXPECT_EQ(item.sourcePath, root.string() + item.storedName);
        EXPECT_EQ(item.sortKey, 0u);
    }
    // Entries come in byte order of their names, subfolders depth-first where met.
    EXPECT_EQ(stored, (std::vector<std::string>{"/docs/.hidden", "/docs/b.txt", "/docs/sub/c.txt", "/a.txt"}));
    fs::remove_all(root);
}

namespace {

// A project tree with build output, version control and a settings folder beside sources.
class DiscoveryOptionsTest : public testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() /
                ("qv5-unit-discovery-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        for (const char* folder : {"proj/build", "proj/src/build", "proj/docs", "proj/.git/objects", "proj/.cache"})
            fs::create_directories(root_ / folder);
        for (const char* name :
             {"proj/main.c", "proj/build/out.o", "proj/src/a.c", "proj/src/build/gen.c", "proj/docs/build.txt",
              "proj/.git/config", "proj/.git/objects/ab", "proj/.cache/x", "proj/.profile"})
            std::ofstream(root_ / name) << name;
    }
    void TearDown() override { fs::remove_all(root_); }

    std::vector<std::string> stored(const std::string& argument, const DiscoveryOptions& options)
    {
        InputList list;
        InputError failure = findInputs(list, (root_ / argument).string(), options);
        EXPECT_FALSE(failure) << failure.path;
        std::vector<std::string> names;
        for (const SourceItem& item : list) {
            EXPECT_EQ(item.sourcePath, (root_ / argument).parent_path().string() + item.storedName);
            names.push_back(item.storedName);
        }
        return names;
    }

    static DiscoveryOptions excluding(std::vector<std::string> patterns)
    {
        DiscoveryOptions options;
        options.excludes = std::move(patterns);
        return options;
    }

    fs::path root_;
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(DiscoveryOptionsTest, DefaultsSkipDotFoldersOnly)
{
    EXPECT_EQ(stored("proj", DiscoveryOptions()), (Names{"/proj/.profile", "/proj/build/out.o", "/proj/docs/build.txt",
                                                         "/proj/main.c", "/proj/src/a.c", "/proj/src/build/gen.c"}));
}

TEST_F(DiscoveryOptionsTest, DotFoldersWalkedWhenAsked)
{
    DiscoveryOptions options;
    options.dotFolders = true;
    EXPECT_EQ(stored("proj", options), (Names{"/proj/.cache/x", "/proj/.git/config", "/proj/.git/objects/ab",
                                              "/proj/.profile", "/proj/build/out.o", "/proj/docs/build.txt",
                                              "/proj/main.c", "/proj/src/a.c", "/proj/src/build/gen.c"}));
    options.excludes = {".git"};
    EXPECT_EQ(stored("proj/.*", options), (Names{"/.cache/x", "/.profile"}));
    // Named on the command line, a dot folder still follows the option.
    EXPECT_EQ(stored("proj/.cache", DiscoveryOptions()), Names{});
    options.excludes.clear();
    EXPECT_EQ(stored("proj/.cache", options), Names{"/.cache/x"});
}

TEST_F(DiscoveryOptionsTest, ExcludesByLastComponent)
{
    // Both build folders go, at any depth; a file merely beginning with the name stays.
    EXPECT_EQ(stored("proj", excluding({"build"})),
              (Names{"/proj/.profile", "/proj/docs/build.txt", "/proj/main.c", "/proj/src/a.c"}));
    EXPECT_EQ(stored("proj", excluding({"build/", "*.c"})), (Names{"/proj/.profile", "/proj/docs/build.txt"}));
    EXPECT_EQ(stored("proj", excluding({"*.txt", "*.o", "b*"})),
              (Names{"/proj/.profile", "/proj/main.c", "/proj/src/a.c"}));
    // The argument itself, and files that a wildcard argument names.
    EXPECT_EQ(stored("proj", excluding({"proj"})), Names{});
    EXPECT_EQ(stored("proj/*.c", excluding({"main.c"})), Names{});
}

TEST_F(DiscoveryOptionsTest, ExcludesByStoredName)
{
    EXPECT_EQ(stored("proj", excluding({"proj/src/build"})),
              (Names{"/proj/.profile", "/proj/build/out.o", "/proj/docs/build.txt", "/proj/main.c", "/proj/src/a.c"}));
    EXPECT_EQ(
        stored("proj", excluding({"proj\\build"})),
        (Names{"/proj/.profile", "/proj/docs/build.txt", "/proj/main.c", "/proj/src/a.c", "/proj/src/build/gen.c"}));
    // '*' runs across separators; a stored name is taken from the argument's own folder.
    EXPECT_EQ(stored("proj", excluding({"proj/*/build*"})),
              (Names{"/proj/.profile", "/proj/build/out.o", "/proj/main.c", "/proj/src/a.c"}));
    EXPECT_EQ(stored("proj/src", excluding({"src/build"})), Names{"/src/a.c"});
    EXPECT_EQ(stored("proj/src", excluding({"proj/src/build"})), (Names{"/src/a.c", "/src/build/gen.c"}));
}

TEST_F(DiscoveryOptionsTest, LeadingSeparatorAnchorsAtTheTop)
{
    EXPECT_EQ(stored("proj", excluding({"/build"})), stored("proj", DiscoveryOptions()));
    EXPECT_EQ(
        stored("proj", excluding({"/proj/build"})),
        (Names{"/proj/.profile", "/proj/docs/build.txt", "/proj/main.c", "/proj/src/a.c", "/proj/src/build/gen.c"}));
    EXPECT_EQ(stored("proj", excluding({"/main.c"})).size(), 6u);
}

TEST_F(DiscoveryOptionsTest, CaseFollowsThePlatform)
{
    Names all = stored("proj", DiscoveryOptions());
    Names withoutMain = all;
    std::erase(withoutMain, "/proj/main.c");
    EXPECT_EQ(stored("proj", excluding({"MAIN.C"})), namesIgnoreCase ? withoutMain : all);
}

TEST_F(DiscoveryOptionsTest, ExcludedFolderIsNotWalked)
{
    // A name holding '\' stops discovery wherever it is met, so it shows whether a folder
    // was entered at all.
    std::ofstream(root_ / "proj/build/bad\\name") << "x";
    InputList list;
    EXPECT_EQ(findInputs(list, (root_ / "proj").string()).kind, InputFailure::backslashInName);
    EXPECT_EQ(stored("proj", excluding({"build"})).size(), 4u);
    EXPECT_EQ(stored("proj", excluding({"bad?name"})).size(), 6u);
}

// What an argument stands for but discovery cannot take is handed back with a reason, in the
// order met; with metadata, FIFOs and devices are handed over as what they are.
TEST_F(DiscoveryOptionsTest, LeftOutItemsAreHandedBack)
{
    ASSERT_EQ(::mkfifo((root_ / "proj/fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", root_ / "proj/src/null");
    fs::create_symlink(root_ / "nowhere", root_ / "proj/dangling");
    auto discover = [&](const std::vector<std::string>& arguments, const DiscoveryOptions& options, ExtraList* extras) {
        InputList list;
        std::vector<LeftOut> leftOut;
        for (const std::string& argument : arguments) {
            EXPECT_FALSE(findInputs(list, (root_ / argument).string(), options, extras, &leftOut));
        }
        std::vector<std::string> told;
        for (const LeftOut& item : leftOut) {
            EXPECT_FALSE(item.reason.empty()) << item.path;
            told.push_back(item.path.substr(root_.string().size()) + ": " + item.reason);
        }
        return told;
    };
    const std::string missing = std::strerror(ENOENT);
    EXPECT_EQ(discover({"proj", "typo", "proj/.git", "none*"}, DiscoveryOptions(), nullptr),
              (Names{"/proj/dangling: a link that leads nowhere is stored only with -meta",
                     "/proj/fifo: a FIFO is stored only with -meta",
                     "/proj/src/null: a device is stored only with -meta", "/typo: " + missing,
                     "/proj/.git: a folder whose name begins with '.' is walked only with -dotfolders"}));
    // Excluded is asked for; a dot folder below an input is skipped by design.
    EXPECT_EQ(discover({"proj"}, excluding({"fifo", "null", "dangling"}), nullptr), Names{});

    DiscoveryOptions withMetadata;
    withMetadata.metadata = true;
    ExtraList extras;
    EXPECT_EQ(discover({"proj"}, withMetadata, &extras), Names{});
    std::vector<std::string> kept;
    for (const ExtraItem& extra : extras) {
        kept.push_back(extra.storedName + (extra.special ? " special" : "") + (extra.isLink ? " link" : ""));
    }
    // With metadata, folders whose names begin with '.' are walked too: a faithful tree has them.
    EXPECT_EQ(kept, (Names{"/proj", "/proj/.cache", "/proj/.git", "/proj/.git/objects", "/proj/build",
                           "/proj/dangling link", "/proj/docs", "/proj/fifo special", "/proj/src", "/proj/src/build",
                           "/proj/src/null link"}));
    if (::geteuid() == 0) {
        // A device node, made where root may: handed over with metadata, named without.
        ASSERT_EQ(::mknod((root_ / "proj/docs/tty").c_str(), S_IFCHR | 0600, ::makedev(5, 0)), 0);
        extras.clear();
        EXPECT_EQ(discover({"proj/docs/tty"}, withMetadata, &extras), Names{});
        ASSERT_EQ(extras.size(), 1u);
        EXPECT_TRUE(extras[0].special && !extras[0].isLink);
        EXPECT_EQ(discover({"proj/docs/tty"}, DiscoveryOptions(), nullptr),
                  Names{"/proj/docs/tty: a device is stored only with -meta"});
    }
}
