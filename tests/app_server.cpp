// SPDX-License-Identifier: Apache-2.0
#include "app_server.h"

#include <arpa/inet.h>
#include <cups/raster.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr uid_t kServerUser = 65534;  // nobody
constexpr gid_t kServerGroup = 65534;

bool port_open(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

// The same inside a network namespace: a thread of its own joins it (a
// namespace of the network is a thread's own) and connects from there.
bool port_open_in(const std::string& netns, int port) {
    if (netns.empty())
        return port_open(port);
    bool ok = false;
    std::thread([&] {
        int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0)
            ok = port_open(port);
        if (ns >= 0)
            close(ns);
    }).join();
    return ok;
}

// A command run inside a network namespace, or as it is.
std::vector<std::string> in_netns(const std::string& netns, const std::vector<std::string>& cmd) {
    if (netns.empty())
        return cmd;
    std::vector<std::string> argv = {"ip", "netns", "exec", netns};
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    return argv;
}

// The server options (-o) of the packaged service's ExecStart= line, as
// "name=value"; the words of the environment ($...) are left out.
std::vector<std::string> service_unit_options() {
    std::istringstream unit(
        read_file(std::string(TARNWEL_SOURCE_DIR) + "/debian/tarnwel-printer-app.service"));
    std::vector<std::string> options;
    for (std::string line; std::getline(unit, line);) {
        if (line.rfind("ExecStart=", 0) != 0)
            continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        for (size_t i = 0; i + 1 < w.size(); i++)
            if (w[i] == "-o" && w[i + 1][0] != '$')
                options.push_back(w[++i]);
    }
    return options;
}

// Sets option `name` to `value` in a list of "name=value": in place of the
// one there, or at the end.
void set_option(std::vector<std::string>& options, const std::string& setting) {
    const std::string name = setting.substr(0, setting.find('=') + 1);
    for (std::string& o : options)
        if (o.rfind(name, 0) == 0) {
            o = setting;
            return;
        }
    options.push_back(setting);
}

pid_t spawn(const std::vector<std::string>& argvS, const std::string& out,
            const std::string& workDir) {
    std::vector<std::string> args = argvS;
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    // None of the test's own descriptors (CTest's log and pipes among them)
    // stay open in a server that might outlive it.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    // posix_spawn has no portable chdir; a shell-free helper: env -C.
    std::vector<std::string> withDir;
    if (!workDir.empty()) {
        withDir = {"/usr/bin/env", "-C", workDir};
        withDir.insert(withDir.end(), args.begin(), args.end());
        argv.clear();
        for (std::string& a : withDir)
            argv.push_back(a.data());
        argv.push_back(nullptr);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void copy_file(const std::string& from, const std::string& to, mode_t mode) {
    write_file(to, read_file(from));
    chmod(to.c_str(), mode);
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const std::string& workDir) {
    std::string out = temp_dir() + "/output";
    RunResult r;
    pid_t pid = spawn(argv, out, workDir);
    if (pid < 0)
        return r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(out);
    return r;
}

std::string letter_pwg(
    const std::function<void(int p, unsigned y, std::vector<unsigned char>& line)>& fill,
    int pages) {
    std::string path = temp_dir() + "/page.pwg";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t h;
    cupsRasterInitPWGHeader(&h, pwgMediaForPWG("na_letter_8.5x11in"), "sgray_8", 600, 600,
                            "one-sided", nullptr);
    std::vector<unsigned char> line(h.cupsBytesPerLine);
    for (int p = 0; p < pages; p++) {
        cupsRasterWriteHeader2(r, &h);
        for (unsigned y = 0; y < h.cupsHeight; y++) {
            fill(p, y, line);
            cupsRasterWritePixels(r, line.data(), h.cupsBytesPerLine);
        }
    }
    cupsRasterClose(r);
    close(fd);
    return path;
}

std::string letter_band_page() {
    return letter_pwg([](int, unsigned y, std::vector<unsigned char>& line) {
        const unsigned middle = 6600 / 2;
        std::fill(line.begin(), line.end(), y >= middle && y < middle + 300 ? 0 : 255);
    });
}

std::string ipp_bytes(ipp_t* message) {
    std::string bytes;
    ippWriteIO(
        &bytes,
        [](void* to, ipp_uchar_t* data, size_t size) -> ssize_t {
            static_cast<std::string*>(to)->append(reinterpret_cast<char*>(data), size);
            return static_cast<ssize_t>(size);
        },
        1, nullptr, message);
    return bytes;
}

std::string ipp_value(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    std::string line, value;
    while (std::getline(in, line)) {
        size_t i = line.find_first_not_of(' ');
        if (i == std::string::npos || line.compare(i, name.size() + 2, name + " (") != 0)
            continue;
        size_t eq = line.find(" = ", i);
        if (eq != std::string::npos)
            value = line.substr(eq + 3);
    }
    return value;
}

AppServer::AppServer(const std::string& driver, const AppServerOptions& options)
    : extraEnvironment_(options.environment),
      extraServerOptions_(options.serverOptions),
      netns_(options.netns),
      asService_(options.asService) {
    dir_ = temp_dir();
    for (const char* sub : {"home", "tmp", "spool", "out", "bin", "ppd"})
        mkdir((dir_ + "/" + sub).c_str(), 0755);
    // The programs and PPDs are copied into the test's folder, so that the
    // unprivileged server reaches them wherever the build lives.
    app_ = dir_ + "/bin/tarnwel-printer-app";
    filter_ = dir_ + "/bin/rastertotarnwel";
    ppdDir_ = dir_ + "/ppd";
    copy_file(options.program.empty() ? TARNWEL_APP_PATH : options.program, app_, 0755);
    for (const std::string& lib : options.preload) {
        preload_.push_back(dir_ + "/bin/" + lib.substr(lib.rfind('/') + 1));
        copy_file(lib, preload_.back(), 0755);
    }
    copy_file(TARNWEL_FILTER_PATH, filter_, 0755);
    copy_file(std::string(TARNWEL_SOURCE_DIR) + "/tests/app/lsan.supp", dir_ + "/lsan.supp", 0644);
    for (const char* ppd : {"tnml20.ppd", "tnml24p.ppd"})
        copy_file(std::string(TARNWEL_PPD_BUILD_DIR) + "/" + ppd, ppdDir_ + "/" + ppd, 0644);
    if (getuid() == 0) {
        chmod(dir_.c_str(), 0755);
        std::string cmd = "chown -R " + std::to_string(kServerUser) + ":" +
                          std::to_string(kServerGroup) + " '" + dir_ + "'";
        if (system(cmd.c_str()) != 0)
            return;
    }
    // Another port when one was taken by a test running beside this one.
    for (int attempt = 0; attempt < 5 && !ready_; attempt++) {
        port_ = free_loopback_port();
        launch();
    }
    if (!ready_)
        return;
    RunResult add =
        command({"add", "-d", "office", "-m", driver, "-v", "file://" + dir_ + "/out?ext=prn"});
    ready_ = add.status == 0;
    if (!ready_)
        ADD_FAILURE() << "adding the printer failed: " << add.out;
}

std::vector<std::string> AppServer::server_options() const {
    if (!asService_) {
        std::vector<std::string> options = {"listen-hostname=127.0.0.1",
                                            "server-port=" + std::to_string(port_),
                                            "spool-directory=" + dir_ + "/spool",
                                            "log-file=" + dir_ + "/server.log", "log-level=debug",
                                            // The tests read the whole log.
                                            "log-max-size=0", "server-options=no-tls",
                                            // The printers of the tests write into out/.
                                            "file-device-directory=" + dir_ + "/out"};
        options.insert(options.end(), extraServerOptions_.begin(), extraServerOptions_.end());
        return options;
    }
    std::vector<std::string> options = service_unit_options();
    if (options.empty())
        ADD_FAILURE() << "no server options in the ExecStart= line of the service's unit";
    // The test's own port, folders and (absent) login file; the whole log,
    // which the tests read; and out/, where the test's printer writes.
    const std::vector<std::string> own = {"server-port=" + std::to_string(port_),
                                          "spool-directory=" + dir_ + "/spool",
                                          "log-file=" + dir_ + "/server.log",
                                          "admin-password-file=" + dir_ + "/no-login",
                                          "log-max-size=0",
                                          "file-device-directory=" + dir_ + "/out"};
    for (const std::string& option : own)
        set_option(options, option);
    for (const std::string& option : extraServerOptions_)
        set_option(options, option);
    return options;
}

bool AppServer::listening() const {
    return port_open_in(netns_, port_);
}

bool AppServer::launch() {
    std::vector<std::string> cmd = {app_, "server"};
    for (const std::string& option : server_options()) {
        cmd.push_back("-o");
        cmd.push_back(option);
    }
    // Any address of its own network: a listener error there means a
    // port that is taken, as on 127.0.0.1.
    const std::string listenerError = asService_
                                          ? "Unable to create listener socket for '"
                                          : "Unable to create listener socket for '127.0.0.1:";
    ready_ = false;
    const size_t logStart = log().size();
    pid_ = spawn(in_netns(netns_, as_server_user(cmd)), dir_ + "/server.out", "");
    // The port is this server's once it has started its system without a
    // listener error: a test running beside this one may have taken the
    // port between its choice and the server's bind, and answers on it.
    for (int i = 0; i < 300 && pid_ > 0; i++) {
        // (A log that became shorter was started anew.)
        const std::string whole = log();
        std::string started = whole.substr(whole.size() >= logStart ? logStart : 0);
        if (started.find(listenerError) != std::string::npos)
            break;
        if (started.find("Starting system.") != std::string::npos && listening()) {
            ready_ = true;
            break;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ready_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return ready_;
}

bool AppServer::kill_and_restart(const std::function<void()>& whileStopped) {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ready_ = false;
    if (whileStopped)
        whileStopped();
    return launch();
}

std::vector<std::string> AppServer::children() const {
    std::vector<std::string> found;
    if (pid_ <= 0)
        return found;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and brackets.
        std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == pid_)
            found.push_back(std::string(e->d_name) + " " + stat.substr(open + 1, close - open - 1));
    }
    if (proc)
        closedir(proc);
    return found;
}

std::vector<std::string> AppServer::wait_for_no_children(int seconds) const {
    std::vector<std::string> left = children();
    for (int i = 0; i < seconds * 20 && !left.empty(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        left = children();
    }
    return left;
}

long AppServer::peak_memory_kib() const {
    std::string status = read_file("/proc/" + std::to_string(pid_) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

void AppServer::shut_down() {
    command({"shutdown"});
    for (int i = 0; i < 200; i++) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            // It ends clean: no finding of the sanitizers (leaks come at the
            // exit), no other exit status; unless the test expects a known
            // fault to end it badly (which may then only show at the exit).
            const std::string out = read_file(dir_ + "/server.out");
            EXPECT_TRUE(exitExpected_ || (WIFEXITED(st) && WEXITSTATUS(st) == 0 &&
                                          out.find("Sanitizer") == std::string::npos &&
                                          out.find("runtime error") == std::string::npos))
                << "the server did not end clean: "
                << (WIFSIGNALED(st) ? "killed by signal " + std::to_string(WTERMSIG(st))
                                    : "exit status " + std::to_string(WEXITSTATUS(st)))
                << "\n"
                << out;
            return;
        }
        // PAPPL 1.3.1 notices a shutdown request only when its listener wakes
        // up (up to 30 s later): a connection wakes it.
        if (i % 4 == 3)
            listening();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // A server that does not end when asked is a fault the test must see
    // (PAPPL waits up to a minute for the jobs it still has).
    if (!exitExpected_)
        ADD_FAILURE() << "the server did not end within 10 s of its shutdown and was killed\n"
                      << log();
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool AppServer::restart() {
    if (!alive())
        return false;
    shut_down();
    return launch();
}

AppServer::~AppServer() {
    if (pid_ <= 0)
        return;
    // The server must still be running when the test is over.
    if (!alive()) {
        if (exitExpected_)
            return;
        int st = exitStatus_;
        ADD_FAILURE() << "the server ended by itself, "
                      << (WIFSIGNALED(st) ? "killed by signal " + std::to_string(WTERMSIG(st))
                                          : "exit status " + std::to_string(WEXITSTATUS(st)))
                      << "\n"
                      << read_file(dir_ + "/server.out")
                      << log().substr(log().size() > 20000 ? log().size() - 20000 : 0);
        return;
    }
    shut_down();
}

bool AppServer::alive() {
    if (pid_ <= 0)
        return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_)
        return true;
    pid_ = -1;
    exitStatus_ = st;
    return false;
}

std::string long_pdf(int pages) {
    std::string ps = temp_dir() + "/long.ps";
    write_file(ps, "%!PS\n/Helvetica findfont 24 scalefont setfont\n1 1 " + std::to_string(pages) +
                       " {\n 0.5 setgray 72 300 400 300 rectfill 0 setgray\n"
                       " 72 700 moveto (Page ) show 3 string cvs show\n showpage\n} for\n");
    std::string pdf = temp_dir() + "/long.pdf";
    RunResult r = run_program({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
                               "-sOutputFile=" + pdf, ps});
    EXPECT_EQ(r.status, 0) << r.out;
    return pdf;
}

JobOutcome outcome(const RunResult& r) {
    return {ipp_value(r.out, "job-state"), ipp_value(r.out, "job-state-reasons"),
            ipp_value(r.out, "job-state-message"), r};
}

JobOutcome print_plain(const AppServer& app, const std::string& document, const std::string& format,
                       const std::string& name, const std::string& printer) {
    return outcome(app.ipptool("print-plain.test", {{"format", format}, {"jobname", name}},
                               document, "", printer));
}

std::string overlapping_jobs(const std::string& log, const std::set<std::string>& jobs) {
    std::istringstream in(log);
    std::string line, running;
    while (std::getline(in, line)) {
        size_t at = line.find("] [Job ");
        if (at == std::string::npos)
            continue;
        size_t end = line.find(']', at + 7);
        if (end == std::string::npos)
            continue;
        std::string job = line.substr(at + 7, end - at - 7);
        if (!jobs.empty() && !jobs.count(job))
            continue;
        std::string text = line.substr(end + 2);
        if (text == "Starting print job.") {
            if (!running.empty() && running != job)
                return running + " and " + job;
            running = job;
        } else if (job == running &&
                   (text.rfind("Completed,", 0) == 0 || text.rfind("Aborted,", 0) == 0 ||
                    text.rfind("Canceled,", 0) == 0)) {
            running.clear();
        }
    }
    return "";
}

std::string shared_device(const std::string& log, const std::string& printer) {
    const std::string opening = "[Printer " + printer + "] Opening device for job ";
    const std::string closing = "[Printer " + printer + "] Closing device for job ";
    std::istringstream in(log);
    std::string line, holder;
    while (std::getline(in, line)) {
        size_t at;
        if ((at = line.find(opening)) != std::string::npos) {
            std::string job = line.substr(at + opening.size());
            if (!holder.empty())
                return "job " + job.substr(0, job.find('.')) + " opened the device while job " +
                       holder + " had it";
            holder = job.substr(0, job.find('.'));
        } else if ((at = line.find(closing)) != std::string::npos) {
            std::string job = line.substr(at + closing.size());
            job = job.substr(0, job.find('.'));
            if (job != holder)
                return "job " + job + " closed the device " +
                       (holder.empty() ? "that no job had open" : "that job " + holder + " had");
            holder.clear();
        }
    }
    return "";
}

std::vector<std::string> AppServer::environment() const {
    std::vector<std::string> env = {
        "HOME=" + dir_ + "/home", "XDG_CONFIG_HOME=" + dir_ + "/home", "TMPDIR=" + dir_ + "/tmp",
        "PATH=/usr/bin:/bin",     "TARNWEL_FILTER=" + filter_,         "TARNWEL_PPD_DIR=" + ppdDir_,
    };
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    if (!preload_.empty()) {
        std::string list;
        for (const std::string& lib : preload_)
            list += (list.empty() ? "" : ":") + lib;
        env.push_back("LD_PRELOAD=" + list);
        // AddressSanitizer wants its runtime first among the libraries; a
        // preloaded fixture comes before it and calls through to it.
        asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
    }
    // Whole stacks for what the server allocates: PAPPL is built without
    // frame pointers, and its known leaks are told apart by their callers.
    asan += std::string(asan.empty() ? "" : ":") + "fast_unwind_on_malloc=0";
    env.push_back("ASAN_OPTIONS=" + asan);
    if (const char* v = getenv("UBSAN_OPTIONS"))
        env.push_back(std::string("UBSAN_OPTIONS=") + v);
    // Under LeakSanitizer, what PAPPL keeps until exit is not reported.
    const char* lsan = getenv("LSAN_OPTIONS");
    env.push_back(std::string("LSAN_OPTIONS=") + (lsan && *lsan ? std::string(lsan) + ":" : "") +
                  "suppressions=" + dir_ + "/lsan.supp");
    // "{dir}" in a setting stands for the test's folder.
    for (std::string e : extraEnvironment_) {
        size_t at = e.find("{dir}");
        if (at != std::string::npos)
            e.replace(at, 5, dir_);
        env.push_back(e);
    }
    return env;
}

std::vector<std::string> AppServer::as_server_user(const std::vector<std::string>& cmd) const {
    // The server dies with the test, also when the test is killed and no
    // destructor runs, so that it never outlives the test that started it.
    std::vector<std::string> argv = {"setpriv", "--pdeathsig=KILL"};
    if (getuid() == 0) {
        argv.push_back("--reuid=" + std::to_string(kServerUser));
        argv.push_back("--regid=" + std::to_string(kServerGroup));
        argv.push_back("--clear-groups");
    }
    argv.push_back("env");
    argv.push_back("-i");
    for (const std::string& e : environment())
        argv.push_back(e);
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    return argv;
}

std::string AppServer::printer_uri(const std::string& printer) const {
    return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/" + printer;
}

RunResult AppServer::command(const std::vector<std::string>& args) const {
    std::vector<std::string> cmd = {app_};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return run_program(as_server_user(cmd));
}

RunResult AppServer::ipptool(const std::string& testFile,
                             const std::map<std::string, std::string>& vars,
                             const std::string& document, const std::string& workDir,
                             const std::string& printer) const {
    std::vector<std::string> argv = {"ipptool", "-t", "-T", "120"};
    for (const auto& [name, value] : vars) {
        argv.push_back("-d");
        argv.push_back(name + "=" + value);
    }
    if (!document.empty()) {
        argv.push_back("-f");
        argv.push_back(document);
    }
    argv.push_back(printer_uri(printer));
    argv.push_back(testFile[0] == '/' ? testFile
                                      : std::string(TARNWEL_SOURCE_DIR) + "/tests/app/" + testFile);
    return run_program(in_netns(netns_, argv), workDir);
}

std::string AppServer::printer_id(const std::string& name) const {
    const std::string path = dir_ + "/home/tarnwel-printer-app.state";
    for (int i = 0; i < 100; i++) {
        std::istringstream state(read_file(path));
        for (std::string line; std::getline(state, line);) {
            if (line.rfind("<Printer ", 0) != 0 ||
                line.find(" name=\"" + name + "\"") == std::string::npos)
                continue;
            size_t at = line.find(" id=\"");
            if (at != std::string::npos)
                return std::to_string(atoi(line.c_str() + at + 5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "no printer " << name << " in the saved state:\n" << read_file(path);
    return "";
}

std::string AppServer::output(const std::string& jobName) const {
    return read_file(dir_ + "/out/" + jobName + ".prn");
}

std::string AppServer::log() const {
    // A server told to log to standard error writes its log with the rest
    // of its output.
    for (const std::string& option : extraServerOptions_)
        if (option == "log-file=-" || option == "log-file=/dev/stderr")
            return read_file(dir_ + "/server.out");
    return read_file(dir_ + "/server.log");
}
