// SPDX-License-Identifier: Apache-2.0
// The project's licence: LICENSE holds the Apache License 2.0, and every
// tracked source file that can hold a comment says so in its first lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

const std::string kSource = TARNWEL_SOURCE_DIR;
const std::string kLine = "SPDX-License-Identifier: Apache-2.0";

// The SHA-256 of the Apache License 2.0 as the Apache Software Foundation
// publishes it (LICENSE-2.0.txt), the same bytes as Debian's
// /usr/share/common-licenses/Apache-2.0.
const std::string kApache2Sha256 =
    "cfc7749b96f63bd31c3c42b5c471bf756814053e847c10f3eb003417bc523d30";

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A file of a kind that can hold a comment and must carry the line.
bool must_carry(const std::string& path) {
    if (path.rfind("tests/regressions/", 0) == 0)  // byte inputs
        return false;
    // Scripts without a name ending, and the packaging's scripts and files.
    for (const char* file :
         {".ci/run", "debian/rules", "debian/tarnwel-printer-app.postinst",
          "debian/tarnwel-printer-app.postrm", "debian/tarnwel-printer-app.service",
          "debian/tarnwel-printer-app.tmpfiles", "debian/printer-driver-tarnwel.ppd-updater"})
        if (path == file)
            return true;
    const std::string base = path.substr(path.rfind('/') + 1);
    if (base == "CMakeLists.txt" || base == ".clang-format" || base == ".gitignore")
        return true;
    for (const char* ext : {".cpp", ".h", ".c", ".cmake", ".sh", ".py", ".mjs", ".test", ".drv",
                            ".po", ".ps", ".supp", ".1", ".8"})
        if (ends_with(base, ext))
            return true;
    return false;
}

bool carries_line(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    for (int i = 0; i < 3 && std::getline(in, line); i++)
        if (line.find(kLine) != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST(SourceFiles, CarryTheLicence) {
    RunResult files = run_shell("git -C " + shell_quoted(kSource) + " ls-files 2>&1");
    if (files.status != 0)
        GTEST_SKIP() << kSource << " is not a git checkout git can read, so there is no list of "
                     << "tracked files to check: " << files.out;
    std::istringstream list(files.out);
    int checked = 0;
    for (std::string path; std::getline(list, path);) {
        if (!must_carry(path))
            continue;
        struct stat st;
        if (stat((kSource + "/" + path).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;  // deleted in the work tree, not yet committed
        checked++;
        const bool carries = carries_line(read_file(kSource + "/" + path));
        EXPECT_TRUE(carries) << path << " lacks \"" << kLine << "\" in its first 3 lines";
    }
    EXPECT_GT(checked, 100) << "too few source files found in " << kSource;
}

TEST(SourceFiles, LicenceIsTheApacheLicence2) {
    const std::string path = kSource + "/LICENSE";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << "no LICENSE in " << kSource;
    RunResult sum = run_shell("sha256sum < " + shell_quoted(path));
    ASSERT_EQ(sum.status, 0) << "sha256sum failed";
    EXPECT_EQ(sum.out.substr(0, 64), kApache2Sha256)
        << "LICENSE is not the exact text of the Apache License 2.0 (take "
        << "/usr/share/common-licenses/Apache-2.0)";
}
