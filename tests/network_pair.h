// SPDX-License-Identifier: Apache-2.0
// Two network namespaces joined by a veth pair, for the tests of what a
// client on the network may do to the printer application: the server runs
// in one (10.231.0.1), its clients in the other (10.231.0.2). To PAPPL,
// 127.0.0.1 is the local administrator; only a client at another address
// shows what anyone on the network can do.
#ifndef TARNWEL_NETWORK_PAIR_H
#define TARNWEL_NETWORK_PAIR_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app_server.h"
#include "test_util.h"

constexpr char kServerAddress[] = "10.231.0.1";
constexpr char kClientAddress[] = "10.231.0.2";

// A command run inside a network namespace.
inline std::vector<std::string> in_netns(const std::string& netns,
                                         const std::vector<std::string>& cmd) {
    std::vector<std::string> argv = {"ip", "netns", "exec", netns};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    return argv;
}

// Kills every process still inside a namespace and deletes it.
void remove_netns(const std::string& name);

// Runs `fn` on a thread of its own that has joined the network namespace
// `netns`, and waits for it: what it connects, it connects from there (its
// sockets stay in that network after it returns). False if the thread
// could not join the namespace.
bool run_in_netns(const std::string& netns, const std::function<void()>& fn);

// A program that runs beside the test and dies with it, also when the test
// is killed; its output goes into `log`.
pid_t start_program(const std::vector<std::string>& argv, const std::string& log);
// Stops it (SIGTERM, then SIGKILL after 5 s) and reaps it.
void stop_program(pid_t& pid);

// DNS-SD in a namespace, as a machine on the network has it: a D-Bus system
// bus of the test's own (its socket in the test's folder: clients are told
// of it by DBUS_SYSTEM_BUS_ADDRESS) and an avahi-daemon on it, with a /run
// of its own and the host name `hostName` (two namespaces of one machine
// would otherwise claim the same name).
class Discovery {
  public:
    Discovery(const std::string& netns, const std::string& hostName);
    ~Discovery();
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;
    std::string address() const { return "unix:path=" + dir_ + "/bus"; }
    // Asked over D-Bus as any client asks: avahi's server state 2 is "running".
    bool running() const;
    std::string log() const;

  private:
    std::string dir_;
    pid_t dbus_ = -1, avahi_ = -1;
};

// Two network namespaces joined by a veth pair: the server's (10.231.0.1)
// and a client's (10.231.0.2), each with its loopback up. Their names carry
// the test process's ID; the pairs of test processes that were killed before
// they could remove theirs are removed first.
class NetworkPair {
  public:
    NetworkPair()
        : server("tarnwel-srv-" + std::to_string(getpid())),
          client("tarnwel-cli-" + std::to_string(getpid())) {
        if (getuid() != 0) {
            why_ = "needs root to make network namespaces";
            return;
        }
        if (run_program({"ip", "-V"}).status != 0) {
            why_ = "needs ip (iproute2) to make network namespaces";
            return;
        }
        remove_leftovers();
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "netns", "add", server},
            {"ip", "netns", "add", client},
            {"ip", "link", "add", "tnw0", "netns", server, "type", "veth", "peer", "name", "tnw1",
             "netns", client},
            {"ip", "-n", server, "addr", "add", std::string(kServerAddress) + "/24", "dev", "tnw0"},
            {"ip", "-n", client, "addr", "add", std::string(kClientAddress) + "/24", "dev", "tnw1"},
            {"ip", "-n", server, "link", "set", "tnw0", "up"},
            {"ip", "-n", client, "link", "set", "tnw1", "up"},
            {"ip", "-n", server, "link", "set", "lo", "up"},
            {"ip", "-n", client, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            RunResult r = run_program(step);
            if (r.status != 0) {
                why_ = "cannot make the network namespaces: ";
                for (const std::string& word : step)
                    why_ += word + " ";
                why_ += "failed: " + r.out;
                return;
            }
        }
    }
    ~NetworkPair() {
        if (getuid() != 0)
            return;
        remove_netns(server);
        remove_netns(client);
    }
    bool ready() const { return why_.empty(); }
    const std::string& why() const { return why_; }

    const std::string server, client;

  private:
    // A process that was killed may stay a zombie for a while.
    static bool alive(pid_t pid) {
        if (kill(pid, 0) != 0 && errno == ESRCH)
            return false;
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        const size_t name = stat.rfind(')');
        return name == std::string::npos || stat.compare(name, 3, ") Z") != 0;
    }

    static void remove_leftovers() {
        DIR* dir = opendir("/run/netns");
        std::vector<std::string> gone;
        while (dirent* e = dir ? readdir(dir) : nullptr) {
            const std::string name = e->d_name;
            for (const char* prefix : {"tarnwel-srv-", "tarnwel-cli-"}) {
                if (name.rfind(prefix, 0) != 0)
                    continue;
                pid_t owner = atoi(name.c_str() + strlen(prefix));
                if (owner > 0 && !alive(owner))
                    gone.push_back(name);
            }
        }
        if (dir)
            closedir(dir);
        for (const std::string& name : gone)
            remove_netns(name);
    }

    std::string why_;
};

#endif
