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

TEST(FindInputs, StoredNamesBeginAtTheContainingFolder)
{
    fs::path root = fs::temp_directory_path() / "qv5-unit-discovery";
    fs::remove_all(root);
    fs::create_directories(root / "docs" / "sub");
    fs::create_directories(root / "docs" / ".git");
    for (const char* name : {"docs/b.txt", "docs/sub/c.txt", "docs/.git/config", "docs/.hidden", "a.txt"})
        std::ofstream(root / name) << name;

    InputList list;
    ASSERT_TRUE(findInputs(list, (root / "docs").string()));
    ASSERT_TRUE(findInputs(list, (root / "a.txt").string()));
    ASSERT_TRUE(findInputs(list, (root / "none*").string()));
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
    EXPECT_EQ(tellFile(file), 2);  // measuring leaves the position where it was
    EXPECT_EQ(std::string(first), "qq");
    std::fclose(file);

    EXPECT_EQ(openRead((root / "folder").string()), nullptr);
    EXPECT_EQ(openRead((root / "fifo").string()), nullptr);
    EXPECT_EQ(openRead((root / "missing").string()), nullptr);
    fs::remove_all(root);
}
