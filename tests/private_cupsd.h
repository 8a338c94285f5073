// SPDX-License-Identifier: Apache-2.0
// A scheduler of the test's own: private configuration, spool, state and
// logs, listening on 127.0.0.1 only (of the test's network, or of a network
// namespace), the system's filters and backends with this build's filter,
// stopped when the object goes.
#ifndef TARNWEL_PRIVATE_CUPSD_H
#define TARNWEL_PRIVATE_CUPSD_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_util.h"

struct PrivateCupsdOptions {
    // The network namespace (a name `ip netns` knows) it runs in; empty:
    // the test's own network.
    std::string netns;
    // NAME=value pairs its filters and backends get (SetEnv).
    std::vector<std::string> environment;
    // Lines for /etc/hosts as cupsd and its backends see it, in place of the
    // machine's (needs `netns`, whose mount namespace it changes): names a
    // client machine would resolve by multicast DNS.
    std::string hosts;
};

class PrivateCupsd {
  public:
    explicit PrivateCupsd(const PrivateCupsdOptions& options = PrivateCupsdOptions());
    ~PrivateCupsd();
    PrivateCupsd(const PrivateCupsd&) = delete;
    PrivateCupsd& operator=(const PrivateCupsd&) = delete;

    bool running() const { return running_; }
    pid_t pid() const { return pid_; }
    const std::string& program() const { return exe_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string log(const char* name) const { return read_file(dir_ + "/log/" + name); }
    // Runs a shell command as a client of this scheduler: in its network,
    // with CUPS_SERVER naming it (lp, lpadmin, lpstat need no -h).
    RunResult client(const std::string& command) const;
    // Waits up to `seconds` for job `id` to end; the job's end as the log
    // says it ("completed", "stopped", "aborted", "canceled"), or empty.
    std::string wait_for_job(const std::string& id, int seconds) const;
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
    std::string exe_;
    std::string netns_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool running_ = false;
};

#endif
