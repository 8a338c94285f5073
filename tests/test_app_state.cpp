// SPDX-License-Identifier: Apache-2.0
// The printer application's state file: every save replaces it whole or not
// at all, and a start reads the last one saved whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "state.h"
#include "test_util.h"

using namespace tarnwel;

// PAPPL 1.3.1 makes the system's first UUID when it is created and loses it
// when a saved state brings another (once per server, as it starts).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:papplSystemSetUUID\n";
}

namespace {

struct System {
    explicit System(const std::string& dir)
        : system(papplSystemCreate(PAPPL_SOPTIONS_NONE, "tarnwel-state-test", 0, nullptr,
                                   dir.c_str(), (dir + "/log").c_str(), PAPPL_LOGLEVEL_ERROR,
                                   nullptr, false)) {}
    ~System() { papplSystemDelete(system); }
    pappl_system_t* system;
};

std::string name_of(const std::string& dir, const std::string& path) {
    System s(dir);
    keep_state(s.system, path);
    char buffer[256] = "";
    papplSystemGetDNSSDName(s.system, buffer, sizeof(buffer));
    return buffer;
}

TEST(AppState, SaveReplacesTheFileWholeAndOnlyForItsUser) {
    std::string dir = temp_dir(), path = dir + "/app.state";
    write_file(path, "DNSSDName Old room\n");
    System s(dir);
    papplSystemSetDNSSDName(s.system, "Print room 2");
    ASSERT_TRUE(save_state_atomically(s.system, path.c_str()));
    EXPECT_NE(read_file(path).find("Print room 2"), std::string::npos);
    EXPECT_NE(access((path + ".new").c_str(), F_OK), 0) << "the temporary file stays behind";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(name_of(dir, path), "Print room 2");
}

// A save cut short (here by a file size limit, as a full disk would) leaves
// the state saved before it, byte for byte.
TEST(AppState, SaveCutShortKeepsTheLastWholeState) {
    std::string dir = temp_dir(), path = dir + "/app.state";
    std::string before;
    {
        System s(dir);
        papplSystemSetDNSSDName(s.system, "Print room 1");
        ASSERT_TRUE(save_state_atomically(s.system, path.c_str()));
        before = read_file(path);
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        System s(dir);
        papplSystemSetDNSSDName(s.system, std::string(200, 'x').c_str());
        _exit(save_state_atomically(s.system, path.c_str()) ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "the cut save was reported saved";
    EXPECT_EQ(read_file(path), before);
    EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
}

// A crash in the middle of a save leaves a ".new" file beside the state; the
// next start reads the state, never the cut file.
TEST(AppState, StartReadsTheStateNotAFileLeftByACrash) {
    std::string dir = temp_dir(), path = dir + "/app.state";
    {
        System s(dir);
        papplSystemSetDNSSDName(s.system, "Print room 3");
        ASSERT_TRUE(save_state_atomically(s.system, path.c_str()));
    }
    write_file(path + ".new", "DNSSDName Half wri");
    EXPECT_EQ(name_of(dir, path), "Print room 3");
}

// A server killed in the middle of a save leaves the folder of its pipe
// beside the state; the next start clears it away, and nothing else.
TEST(AppState, StartRemovesWhatASaveCutShortLeft) {
    std::string dir = temp_dir(), path = dir + "/app.state";
    std::string left = dir + "/.tarnwel-state-AbC123";
    ASSERT_EQ(mkdir(left.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((left + "/state").c_str(), 0600), 0);
    write_file(dir + "/.tarnwel-state-notes", "kept");
    {
        System s(dir);
        keep_state(s.system, path);
    }
    EXPECT_NE(access(left.c_str(), F_OK), 0) << "the cut save's folder stays behind";
    EXPECT_EQ(read_file(dir + "/.tarnwel-state-notes"), "kept");
}

}  // namespace
