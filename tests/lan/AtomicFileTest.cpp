// A file replaced whole: the new text, the mode asked for, no temporary
// left behind, and a failure that leaves the old file as it was.
#include "lan/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TEST(AtomicFile, ReplacesAFileWholeWithItsModeAndLeavesNoTemporary)
{
    const fs::path dir = fs::temp_directory_path() / ("cv-atomic-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "layout.json").string();
    std::ofstream(path) << "old";
    ASSERT_FALSE(cv::lan::WriteFileAtomically(path, "new text", 0600));
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ(text.str(), "new text");
    struct stat st { };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "no temporary left";

    const auto failed = cv::lan::WriteFileAtomically((dir / "no-such-dir" / "x").string(), "lost");
    ASSERT_TRUE(failed);
    EXPECT_NE(failed->find("no-such-dir"), std::string::npos) << *failed;
    fs::remove_all(dir);
}
