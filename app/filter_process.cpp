#include "filter_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
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
    std::vector<std::string> argvS = {program};
    argvS.insert(argvS.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvS)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envS;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "PPD=", 4) != 0)
            envS.push_back(*e);
    envS.push_back("PPD=" + ppd);
    std::vector<char*> envp;
    for (std::string& e : envS)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // Every descriptor is close-on-exec, so that the filters of jobs on other
    // printers, started by other threads, do not hold this job's pipes open.
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        error = strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        error = strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    // Nothing else of the server's reaches the filter: not the printer's
    // device, which PAPPL opens without close-on-exec (a filter holding it
    // would keep a network printer's connection open after the job), nor its
    // sockets and log.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    // The filter starts with the default signal dispositions, as under CUPS.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&pid_, argv[0], &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        error = "Unable to start the printer driver \"" + program + "\": " + strerror(rc);
        close_input();
        close(out_);
        close(err_);
        out_ = err_ = -1;
        return false;
    }
    copier_ = std::thread(&FilterProcess::copy_loop, this);
    return true;
}

void FilterProcess::copy_loop() {
    char buf[64 * 1024];
    std::string pending;  // an unfinished log line
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
                pending.append(buf, static_cast<size_t>(n));
                size_t start = 0, nl;
                while ((nl = pending.find('\n', start)) != std::string::npos) {
                    log_(pending.substr(start, nl - start));
                    start = nl + 1;
                }
                pending.erase(0, start);
            } else if (n == 0 || errno != EINTR) {
                errOpen = false;
            }
        }
    }
    if (!pending.empty())
        log_(pending);
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
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace tarnwel
