// SPDX-License-Identifier: Apache-2.0
#include "private_cupsd.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

PrivateCupsd::PrivateCupsd(const PrivateCupsdOptions& options) : netns_(options.netns) {
    dir_ = cups_server_bin();
    // Each scheduler its own state; the ServerBin is shared.
    const std::string serverBin = dir_;
    dir_ = temp_dir();
    chmod(dir_.c_str(), 0755);
    port_ = free_loopback_port();
    for (const char* d : {"spool", "cache", "state", "log", "tmp", "ppd"})
        run_shell("mkdir -p '" + dir_ + "/" + d + "'");
    chmod((dir_ + "/tmp").c_str(), 01777);
    std::string setEnv;
    for (const std::string& pair : options.environment) {
        size_t eq = pair.find('=');
        setEnv += "SetEnv " + pair.substr(0, eq) + " " + pair.substr(eq + 1) + "\n";
    }
    write_file(dir_ + "/cupsd.conf",
               "LogLevel debug\nListen 127.0.0.1:" + std::to_string(port_) +
                   "\nBrowsing No\nWebInterface No\nDefaultAuthType None\nMaxLogSize 0\n"
                   "<Policy default>\n<Limit All>\nOrder deny,allow\nAllow all\n</Limit>\n"
                   "</Policy>\n");
    write_file(dir_ + "/cupsd-files.conf",
               "ServerBin " + serverBin + "/sb\nServerRoot " + dir_ + "\nRequestRoot " + dir_ +
                   "/spool\nCacheDir " + dir_ + "/cache\nStateDir " + dir_ + "/state\nTempDir " +
                   dir_ + "/tmp\nAccessLog " + dir_ + "/log/access_log\nErrorLog " + dir_ +
                   "/log/error_log\nPageLog " + dir_ +
                   "/log/page_log\nUser lp\nGroup lp\nSystemGroup root\n" + setEnv);
    std::string conf = dir_ + "/cupsd.conf", files = dir_ + "/cupsd-files.conf";
    // Where AppArmor runs (Debian's default), its cupsd profile attaches to
    // /usr/sbin/cupsd and lets it run programs only from CUPS's own
    // folders, not our filter under /tmp. Profiles attach by the
    // program's path: a copy in our own folder runs unconfined.
    exe_ = dir_ + "/sbin/cupsd";
    run_shell("mkdir -p '" + dir_ + "/sbin' && install -m 755 \"$(command -v cupsd || echo " +
              "/usr/sbin/cupsd)\" '" + exe_ + "'");
    std::vector<std::string> args = {exe_, "-f", "-c", conf, "-s", files};
    if (!netns_.empty()) {
        // `ip netns exec` gives it a mount namespace of its own, where its
        // /etc/hosts may be the test's.
        std::string start = "exec " + shell_quoted(exe_) + " -f -c " + shell_quoted(conf) + " -s " +
                            shell_quoted(files);
        if (!options.hosts.empty()) {
            write_file(dir_ + "/hosts", "127.0.0.1 localhost\n" + options.hosts);
            chmod((dir_ + "/hosts").c_str(), 0644);
            start = "mount --bind " + shell_quoted(dir_ + "/hosts") + " /etc/hosts && " + start;
        }
        args = {"/usr/bin/env", "ip", "netns", "exec", netns_, "sh", "-c", start};
    }
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, (dir_ + "/log/startup").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    for (int i = 0; i < 100 && pid_ > 0; i++) {
        if (client("lpstat -r 2>/dev/null").out.find("is running") != std::string::npos) {
            running_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

PrivateCupsd::~PrivateCupsd() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
}

RunResult PrivateCupsd::client(const std::string& command) const {
    std::string cmd = "CUPS_SERVER=" + host() + " " + command;
    if (!netns_.empty())
        cmd = "ip netns exec " + shell_quoted(netns_) + " sh -c " + shell_quoted(cmd);
    return run_shell(cmd);
}

std::string PrivateCupsd::wait_for_job(const std::string& id, int seconds) const {
    const std::string prefix = "[Job " + id + "] Job ";
    for (int i = 0; i < seconds * 10; i++) {
        const std::string text = log("error_log");
        for (const char* end : {"completed", "stopped", "aborted", "canceled"})
            if (text.find(prefix + end) != std::string::npos)
                return end;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}
