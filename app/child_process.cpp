// SPDX-License-Identifier: Apache-2.0
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwel {

namespace {

void close_pair(int p[2]) {
    for (int i = 0; i < 2; i++)
        if (p[i] >= 0)
            close(p[i]);
}

}  // namespace

int spawn_with_pipes(const std::vector<std::string>& args, char* const envp[], bool searchPath,
                     bool withInput, pid_t& pid, ChildPipes& pipes) {
    std::vector<std::string> argvS = args;
    std::vector<char*> argv;
    for (std::string& a : argvS)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // Every descriptor is close-on-exec, so that the children of jobs on
    // other printers, started by other threads, do not hold this job's pipes
    // open.
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((withInput && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0) {
        int e = errno;
        close_pair(in);
        close_pair(out);
        close_pair(err);
        return e;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (withInput)
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    // Nothing else of the server's reaches the child: not the printer's
    // device, which PAPPL opens without close-on-exec (a child holding it
    // would keep a network printer's connection open after the job), nor its
    // sockets and log.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    // The child starts with the default signal dispositions, as under CUPS.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int rc = searchPath ? posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), envp)
                        : posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (withInput)
        close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        pid = -1;
        if (withInput)
            close(in[1]);
        close(out[0]);
        close(err[0]);
        return rc;
    }
    pipes.in = withInput ? in[1] : -1;
    pipes.out = out[0];
    pipes.err = err[0];
    return 0;
}

int wait_for_child(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace tarnwel
