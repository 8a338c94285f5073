// SPDX-License-Identifier: Apache-2.0
#include "network_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "test_util.h"

void remove_netns(const std::string& name) {
    std::istringstream pids(run_program({"ip", "netns", "pids", name}).out);
    for (pid_t pid; pids >> pid;)
        kill(pid, SIGKILL);
    run_program({"ip", "netns", "del", name});
}

bool run_in_netns(const std::string& netns, const std::function<void()>& fn) {
    bool joined = false;
    std::thread worker([&] {
        int fd = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
        if (joined)
            fn();
    });
    worker.join();
    return joined;
}

pid_t start_program(const std::vector<std::string>& argv, const std::string& log) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(null, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        closefrom(3);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stop_program(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

Discovery::Discovery(const std::string& netns, const std::string& hostName) {
    dir_ = temp_dir();
    chmod(dir_.c_str(), 0755);
    std::string config = read_file("/usr/share/dbus-1/system.conf");
    for (const char* drop : {"<user>messagebus</user>", "<fork/>"}) {
        size_t at = config.find(drop);
        if (at != std::string::npos)
            config.erase(at, strlen(drop));
    }
    auto replace_element = [&](const std::string& tag, const std::string& with) {
        size_t at = config.find("<" + tag + ">");
        size_t end = config.find("</" + tag + ">", at);
        if (at != std::string::npos && end != std::string::npos)
            config.replace(at, end + tag.size() + 3 - at, with);
    };
    replace_element("pidfile", "");
    replace_element("listen", "<listen>unix:path=" + dir_ + "/bus</listen>");
    // A relative folder is read beside the configuration file.
    const std::string relative = "<includedir>system.d</includedir>";
    size_t include = config.find(relative);
    if (include != std::string::npos)
        config.replace(include, relative.size(),
                       "<includedir>/usr/share/dbus-1/system.d</includedir>");
    write_file(dir_ + "/system.conf", config);
    // The daemon's own settings, but for the host name; IPv4 only, as the
    // namespaces have no IPv6 address but their link-local one.
    write_file(dir_ + "/avahi-daemon.conf", "[server]\nhost-name=" + hostName +
                                                "\nuse-ipv4=yes\nuse-ipv6=no\n"
                                                "enable-dbus=yes\nratelimit-interval-usec=0\n"
                                                "[publish]\npublish-workstation=no\n"
                                                "[reflector]\n[rlimits]\n");
    dbus_ = start_program(
        in_netns(netns, {"dbus-daemon", "--config-file=" + dir_ + "/system.conf", "--nofork"}),
        dir_ + "/dbus.log");
    for (int i = 0; i < 200 && access((dir_ + "/bus").c_str(), F_OK) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    // `ip netns exec` gives the daemon a mount namespace of its own, so
    // its /run (pid file, socket) stays out of the machine's.
    avahi_ =
        start_program(in_netns(netns, {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + address(), "sh", "-c",
                                       "mount -t tmpfs -o mode=755 tmpfs /run && exec "
                                       "avahi-daemon --no-drop-root --no-chroot --no-rlimits -f " +
                                           dir_ + "/avahi-daemon.conf"}),
                      dir_ + "/avahi.log");
    for (int i = 0; i < 200 && !running(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Discovery::~Discovery() {
    stop_program(avahi_);
    stop_program(dbus_);
}

bool Discovery::running() const {
    RunResult r = run_program({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + address(), "dbus-send",
                               "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
                               "org.freedesktop.Avahi.Server.GetState"});
    return r.status == 0 && r.out.find("int32 2") != std::string::npos;
}

std::string Discovery::log() const {
    return read_file(dir_ + "/dbus.log") + read_file(dir_ + "/avahi.log");
}
