#include "platform/user_dirs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/platform/test_home.h"

namespace zevo {
namespace {

class DocumentsFolderTest : public ::testing::Test {
protected:
    void WriteUserDirs(const std::string& text) {
        test::WriteFile(mHome.ConfigPath() + "/user-dirs.dirs", text);
    }
    std::string Documents(bool create = true) {
        std::string path;
        EXPECT_EQ(GetDocumentsFolder(&path, create), 0);
        return path;
    }

    test::TempHome mHome;
};

TEST_F(DocumentsFolderTest, DefaultsToDocumentsInTheHomeAndMakesIt) {
    EXPECT_EQ(Documents(false), mHome.Path() + "/Documents");
    EXPECT_FALSE(std::filesystem::exists(mHome.Path() + "/Documents"));
    EXPECT_EQ(Documents(true), mHome.Path() + "/Documents");
    EXPECT_TRUE(std::filesystem::is_directory(mHome.Path() + "/Documents"));
}

TEST_F(DocumentsFolderTest, UserDirsFileWinsOverTheEnvironment) {
    setenv("XDG_DOCUMENTS_DIR", (mHome.Path() + "/FromEnv").c_str(), 1);
    EXPECT_EQ(Documents(), mHome.Path() + "/FromEnv");

    WriteUserDirs(
        "# written by xdg-user-dirs-update\n"
        "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        "XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Papers\\\"/2024/\"\n");
    std::string expected = mHome.Path() + "/My \"Papers\"/2024";
    EXPECT_EQ(Documents(), expected);
    EXPECT_TRUE(std::filesystem::is_directory(expected));  // with its missing parent
    EXPECT_FALSE(std::filesystem::exists(mHome.Path() + "/Desktop"));

    WriteUserDirs("XDG_DOCUMENTS_DIR=\"" + mHome.Path() + "/Absolute\"\n");
    EXPECT_EQ(Documents(), mHome.Path() + "/Absolute");
}

TEST_F(DocumentsFolderTest, MalformedSettingsAreIgnored) {
    WriteUserDirs(
        "XDG_DOCUMENTS_DIR=\"relative/path\"\n"
        "XDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n"
        "XDG_DOCUMENTS_DIR=\"$HOME/unterminated\n"
        "XDG_DOCUMENTS_DIRX=\"$HOME/other\"\n");
    setenv("XDG_DOCUMENTS_DIR", "not/absolute", 1);
    EXPECT_EQ(Documents(false), mHome.Path() + "/Documents");
}

TEST_F(DocumentsFolderTest, FolderThatCannotBeMadeFails) {
    test::WriteFile(mHome.Path() + "/Documents", "a file, not a folder");
    std::string path = "unchanged";
    EXPECT_LT(GetDocumentsFolder(&path, true), 0);
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(GetDocumentsFolder(&path, false), 0);  // known, just not made
}

}  // namespace
}  // namespace zevo
