#include "network_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
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
