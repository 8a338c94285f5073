// SPDX-License-Identifier: Apache-2.0
// The printer application as the tests run it: a real server on 127.0.0.1
// with its own folders and port, as an unprivileged user when the tests run
// as root, one printer with a file:// device, and ipptool as the client. The
// server is shut down when the object goes, whatever the test's outcome.
#ifndef TARNWEL_APP_SERVER_H
#define TARNWEL_APP_SERVER_H

#include <cups/cups.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

// How a test wants its server started, beyond the usual.
struct AppServerOptions {
    // The program to run, in place of the application under test (empty:
    // the application).
    std::string program;
    // Shared libraries the server is started with (LD_PRELOAD), copied
    // into the test's folder first.
    std::vector<std::string> preload;
    // More NAME=value pairs for the server's environment.
    std::vector<std::string> environment;
    // More server options (-o name=value), as "name=value".
    std::vector<std::string> serverOptions;
    // The network namespace (a name `ip netns` knows) the server runs in;
    // empty: the test's own network. The test's local clients (ipptool(),
    // printer_uri()) then reach it on 127.0.0.1 inside that namespace;
    // command() goes through the control socket, a file, as always.
    std::string netns;
    // Started as the packaged service starts it: the server options of the
    // ExecStart= line of the systemd unit, with the test's own port, spool,
    // log and admin-password-file (a file that is not there: no login)
    // instead of the tests' usual options; so no listen-hostname (every
    // address of its network) and TLS on. Its printer writes into the
    // test's out/, the file-device-directory. A server option of
    // `serverOptions` takes the place of the unit's option of that name.
    bool asService = false;
};

class AppServer {
  public:
    // `options.environment`: "{dir}" in a value stands for the test's folder.
    explicit AppServer(const std::string& driver = "tnml20",
                       const AppServerOptions& options = AppServerOptions());
    ~AppServer();
    AppServer(const AppServer&) = delete;
    AppServer& operator=(const AppServer&) = delete;

    bool running() const { return ready_; }
    // Whether the server process is still there (it is reaped if not).
    bool alive();
    pid_t pid() const { return pid_; }
    // Kills the server with SIGKILL, as a crash or a power cut would end it,
    // and starts it again on the same folders and port; false if it does not
    // come up. `whileStopped` runs between the two, when nothing of the
    // server is left to race with it.
    bool kill_and_restart(const std::function<void()>& whileStopped = nullptr);
    // The processes the server has started that are still there ("pid name").
    std::vector<std::string> children() const;
    // Waits up to `seconds` until the server has no child left; the ones
    // still there.
    std::vector<std::string> wait_for_no_children(int seconds) const;
    // The server's peak resident memory in KiB (VmHWM), or -1.
    long peak_memory_kib() const;
    // The server's end, or an unclean end at shutdown, is expected (a known
    // fault of PAPPL's): not reported.
    void expect_exit() { exitExpected_ = true; }
    // Shuts the server down as a person would and starts it again on the
    // same port and folders, with the state it saved.
    bool restart();
    int port() const { return port_; }
    std::string printer_uri(const std::string& printer = "office") const;
    // A printer's printer-id, as the server saved it (PAPPL 1.3.1 answers 0
    // for a printer added while it runs); empty, and a failure, if none.
    std::string printer_id(const std::string& name) const;
    // Runs the application's own command line against the server.
    RunResult command(const std::vector<std::string>& args) const;
    // Runs ipptool with a .test file of tests/app (or an absolute path),
    // variables (-d name=value) and a document (-f).
    RunResult ipptool(const std::string& testFile, const std::map<std::string, std::string>& vars,
                      const std::string& document = "", const std::string& workDir = "",
                      const std::string& printer = "office") const;
    // The stream the printer received for a job of that name.
    std::string output(const std::string& jobName) const;
    std::string log() const;
    const std::string& dir() const { return dir_; }

  private:
    bool launch();
    std::vector<std::string> server_options() const;
    bool listening() const;
    void shut_down();
    std::vector<std::string> environment() const;
    std::vector<std::string> as_server_user(const std::vector<std::string>& cmd) const;

    std::string dir_;
    std::string app_, filter_, ppdDir_;
    std::vector<std::string> preload_;
    std::vector<std::string> extraEnvironment_;
    std::vector<std::string> extraServerOptions_;
    std::string netns_;
    bool asService_ = false;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
    bool exitExpected_ = false;
    int exitStatus_ = -1;
};

// How a job ended, as ipptool's wait displayed it.
struct JobOutcome {
    std::string state, reasons, message;
    RunResult ipptool;
};
JobOutcome outcome(const RunResult& ipptoolRun);

// Prints a document with no job options (the printer's defaults apply) and
// waits until the job has ended.
JobOutcome print_plain(const AppServer& app, const std::string& document, const std::string& format,
                       const std::string& name, const std::string& printer = "office");

// A long PDF: many pages of text and grey, about a second of work each way.
std::string long_pdf(int pages);

// Two jobs that PAPPL processed on one printer at the same time, found in a
// server log ("[Job N] Starting print job." before the other's end), as
// "N and M"; empty when jobs ran one after the other. `jobs`: the IDs of one
// printer's jobs when the server has several printers (empty: all jobs).
std::string overlapping_jobs(const std::string& log, const std::set<std::string>& jobs = {});

// The first time a printer's device was used by two jobs at once, found in a
// server log: PAPPL opens a file:// device for each job and closes it after
// ("[Printer NAME] Opening device for job N." ... "Closing device for job
// N."), so on one printer the two must alternate, job by job. (PAPPL's job
// IDs are per printer, and its job log lines do not name the printer.)
// Empty when every job had the device to itself.
std::string shared_device(const std::string& log, const std::string& printer);

// US Letter pages of 8-bit grey PWG raster at 600 dpi, written to a file of
// the test's; `fill` sets the pixels of line y of page p (0 black, 255
// white). The file's path.
std::string letter_pwg(
    const std::function<void(int p, unsigned y, std::vector<unsigned char>& line)>& fill,
    int pages = 1);

// One such page, white with a black band across its middle.
std::string letter_band_page();

// An IPP message as it goes over the wire, for a client that sends it
// itself rather than through libcups or ipptool.
std::string ipp_bytes(ipp_t* message);

// The last value ipptool displayed for an attribute ("name (type) = value").
std::string ipp_value(const std::string& ipptoolOutput, const std::string& name);

// Runs a program and collects its output (no shell).
RunResult run_program(const std::vector<std::string>& argv, const std::string& workDir = "");

#endif
