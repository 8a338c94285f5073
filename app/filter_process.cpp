// SPDX-License-Identifier: Apache-2.0
#include "filter_process.h"

#include "child_process.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tarnwel {

FilterProcess::FilterProcess(OutputSink output, LogSink log)
    : output_(std::move(output)), log_(std::move(log)) {}

FilterProcess::~FilterProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait();
    }
    close_input();
}

bool FilterProcess::start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& ppd, std::string& error) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());

    std::vector<std::string> envS;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "PPD=", 4) != 0)
            envS.push_back(*e);
    envS.push_back("PPD=" + ppd);
    std::vector<char*> envp;
    for (std::string& e : envS)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    ChildPipes pipes;
    int rc = spawn_with_pipes(argv, envp.data(), false, true, pid_, pipes);
    if (rc != 0) {
        error = "Unable to start the printer driver \"" + program + "\": " + strerror(rc);
        return false;
    }
    in_ = pipes.in;
    out_ = pipes.out;
    err_ = pipes.err;
    copier_ = std::thread(&FilterProcess::copy_loop, this);
    return true;
}

void FilterProcess::copy_loop() {
    char buf[64 * 1024];
    LogLines lines;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (!outOpen)
            fds[0].fd = -1;
        if (!errOpen)
            fds[1].fd = -1;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents) {
            ssize_t n = read(out_, buf, sizeof(buf));
            if (n > 0) {
                // Once the printer stops taking data, the rest is read and
                // dropped, so that the filter can finish and exit.
                if (!outputFailed_ && !output_(buf, static_cast<size_t>(n))) {
                    outputFailed_ = true;
                    terminate();
                }
            } else if (n == 0 || errno != EINTR) {
                outOpen = false;
            }
        }
        if (fds[1].revents) {
            ssize_t n = read(err_, buf, sizeof(buf));
            if (n > 0) {
                lines.add(buf, static_cast<size_t>(n), log_);
            } else if (n == 0 || errno != EINTR) {
                errOpen = false;
            }
        }
    }
    lines.finish(log_);
}

void FilterProcess::close_input() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

void FilterProcess::terminate() {
    if (pid_ > 0)
        kill(pid_, SIGTERM);
}

int FilterProcess::wait() {
    close_input();
    if (copier_.joinable())
        copier_.join();
    for (int* fd : {&out_, &err_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    if (pid_ <= 0)
        return -1;
    int status = wait_for_child(pid_);
    pid_ = -1;
    return status;
}

}  // namespace tarnwel
