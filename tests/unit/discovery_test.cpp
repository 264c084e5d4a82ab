#include "input/discovery.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

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
