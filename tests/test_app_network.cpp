// SPDX-License-Identifier: Apache-2.0
// What a client on the network may and may not do to the printer
// application, tried from a client on the network. The server runs in a
// network namespace of its own, started as the packaged service starts it
// (the server options of its unit: every address, TLS on), and the clients,
// ipptool and curl, run in a second namespace joined to it by a veth pair:
//
//     server 10.231.0.1/24  <-- veth -->  10.231.0.2/24 client
//
// To the server, 127.0.0.1 inside its own namespace and the control socket
// are this machine's administrator; 10.231.0.2 is anyone on the network.
// Everyone may print. Administration from the network takes TLS and a login
// of the admin-password-file; other people's jobs are neither touched nor
// named; file: devices write only into the folder the server names.
//
// Making namespaces takes root and `ip`; without them the tests are
// skipped, and with TARNWEL_REQUIRE_WEB_TESTS=1 they fail instead.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "network_pair.h"
#include "test_util.h"

namespace {

constexpr uid_t kServerUser = 65534;  // nobody, as AppServer runs the server
// The name of a document that must not leave the machine.
constexpr char kSecretJob[] = "salary review 2026";
constexpr char kAdminPassword[] = "Tarnwel-admin-2026";

using Vars = std::map<std::string, std::string>;

std::string first_lines(const std::string& text, int count = 12) {
    size_t end = 0;
    for (int i = 0; i < count && end != std::string::npos; i++)
        end = text.find('\n', end + 1);
    return end == std::string::npos ? text : text.substr(0, end) + "\n[...]";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool starts_with(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

// The status of the request that ipptool -v shows ("client-error-forbidden"),
// or empty when no answer came.
std::string status_code(const std::string& ipptoolOutput) {
    size_t at = ipptoolOutput.find("status-code = ");
    if (at == std::string::npos)
        return "";
    at += 14;
    return ipptoolOutput.substr(at, ipptoolOutput.find_first_of(" \n", at) - at);
}

// A printer's port on an address of a namespace, that counts every byte any
// connection sends it.
class Listener {
  public:
    Listener(const std::string& netns, const char* address, int port) {
        // The socket belongs to the namespace of the thread that makes it.
        std::thread([&] {
            int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
                if (ns >= 0)
                    close(ns);
                return;
            }
            close(ns);
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, address, &a.sin_addr);
            listening_ =
                bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_, 4) == 0;
        }).join();
        if (listening_)
            thread_ = std::thread([this] { serve(); });
    }
    ~Listener() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    bool listening() const { return listening_; }
    size_t bytes() const { return bytes_; }
    int connections() const { return connections_; }

  private:
    void serve() {
        std::vector<pollfd> fds = {{fd_, POLLIN, 0}};
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (size_t i = fds.size(); i-- > 0;) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                if (i == 0) {
                    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) {
                        connections_++;
                        fds.push_back({c, POLLIN, 0});
                    }
                    continue;
                }
                char buf[65536];
                ssize_t n = read(fds[i].fd, buf, sizeof(buf));
                if (n > 0) {
                    bytes_ += static_cast<size_t>(n);
                } else {
                    close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                }
            }
        }
        for (size_t i = 1; i < fds.size(); i++)
            close(fds[i].fd);
    }

    int fd_ = -1;
    bool listening_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> bytes_{0};
    std::atomic<int> connections_{0};
};

// A PWG raster job that a client in a namespace sends to office and stops
// sending halfway through its page: PAPPL prints a raster job while it
// arrives, so the job stays processing until the client hangs up.
class StalledJob {
  public:
    StalledJob(const std::string& netns, int port, const std::string& document) {
        run_in_netns(netns, [&] {
            http_ = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED,
                                 1, 30000, nullptr);
        });
        if (!http_) {
            ADD_FAILURE() << "cannot connect to the server in " << netns;
            return;
        }
        const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + "/ipp/print/office";
        auto request = [&](ipp_op_t op) {
            ipp_t* r = ippNewRequest(op);
            ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
            ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                         "frontdesk");
            return r;
        };
        ipp_t* create = request(IPP_OP_CREATE_JOB);
        ippAddString(create, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                     "stalled stream");
        ipp_t* created = cupsDoRequest(http_, create, "/ipp/print/office");
        id_ = ippGetInteger(ippFindAttribute(created, "job-id", IPP_TAG_INTEGER), 0);
        ippDelete(created);
        EXPECT_GT(id_, 0) << "Create-Job: " << cupsLastErrorString();
        ipp_t* send = request(IPP_OP_SEND_DOCUMENT);
        ippAddInteger(send, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id_);
        ippAddString(send, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "image/pwg-raster");
        ippAddBoolean(send, IPP_TAG_OPERATION, "last-document", 1);
        const std::string data = read_file(document);
        EXPECT_EQ(cupsSendRequest(http_, send, "/ipp/print/office", CUPS_LENGTH_VARIABLE),
                  HTTP_STATUS_CONTINUE);
        EXPECT_EQ(cupsWriteRequestData(http_, data.data(), data.size() / 2), HTTP_STATUS_CONTINUE);
        httpFlushWrite(http_);
        ippDelete(send);
    }
    ~StalledJob() {
        if (http_)
            httpClose(http_);
    }
    int id() const { return id_; }

  private:
    http_t* http_ = nullptr;
    int id_ = 0;
};

// `tarnwel-printer-app passwd` setting the password of `login` in `path`,
// the password given on its standard input.
RunResult run_passwd(const std::string& path, const std::string& login,
                     const std::string& password) {
    // (PAPPL's command line keeps its parsed options to the end: the
    // sanitizers' leak check is told, as for the server.)
    return run_program(
        {"env",
         "LSAN_OPTIONS=suppressions=" + std::string(TARNWEL_SOURCE_DIR) + "/tests/app/lsan.supp",
         "sh", "-c",
         "printf '%s\\n' \"$1\" | \"$2\" passwd -o admin-password-file=\"$3\" -o login=\"$4\"",
         "sh", password, TARNWEL_APP_PATH, path, login});
}

// An admin-password-file with one login, made as an administrator makes it
// (`tarnwel-printer-app passwd`, the system's preferred crypt(3) hash), that
// the server's user can read and no one else.
std::string password_file(const std::string& name, const std::string& password) {
    const std::string dir = temp_dir();
    chmod(dir.c_str(), 0755);
    const std::string path = dir + "/passwd";
    RunResult made = run_passwd(path, name, password);
    EXPECT_EQ(made.status, 0) << made.out;
    const std::string line = read_file(path);
    EXPECT_EQ(line.rfind(name + ":$", 0), 0u) << line;
    EXPECT_EQ(line.find(password), std::string::npos) << "the password is in the file";
    chmod(path.c_str(), 0600);
    if (getuid() == 0 && chown(path.c_str(), kServerUser, kServerUser) != 0)
        ADD_FAILURE() << "cannot give " << path << " to the server's user: " << strerror(errno);
    return path;
}

// An IPP request as it goes over the wire, for a client that sends it
// itself (curl) rather than through ipptool.
std::string ipp_request_bytes(ipp_op_t op, const std::string& printerUri, const std::string& user) {
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 printerUri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 user.c_str());
    std::string bytes = ipp_bytes(request);
    ippDelete(request);
    return bytes;
}

// Where a request comes from and how it is sent.
struct Caller {
    std::string label;  // in words, for the messages
    bool local;         // 127.0.0.1 inside the server's namespace; else the client's namespace
    bool tls;           // https:// and ipps://
    std::string login;  // "name:password" sent with every request, or empty
    std::string user;   // requesting-user-name
};

const Caller kPlainFromNetwork = {"plain HTTP from the network", false, false, "", "mallory"};
const Caller kTlsFromNetwork = {"HTTPS from the network, no login", false, true, "", "mallory"};
const Caller kWrongLogin = {"HTTPS from the network, a wrong password", false, true,
                            "admin:not-the-password", "mallory"};
const Caller kAdminLogin = {"HTTPS from the network with the login", false, true,
                            std::string("admin:") + kAdminPassword, "admin"};
const Caller kLocalSide = {"plain HTTP on 127.0.0.1 in the server's namespace", true, false, "",
                           "frontdesk"};

struct HttpReply {
    int status = 0;  // 0: no answer at all
    std::string location, authenticate, body;
    std::string url;  // where it ended, after any redirects
    std::string summary() const {
        std::string s = "HTTP " + std::to_string(status) + " from " + url;
        if (!location.empty())
            s += ", Location: " + location;
        if (!authenticate.empty())
            s += ", WWW-Authenticate: " + authenticate;
        return s + "\n" + first_lines(body);
    }
};

// A page fetched, its session token taken, and its form posted back.
struct FormAttempt {
    HttpReply page, posted;
};

// What an administrative request gets.
struct Outcome {
    int page;         // a GET of the page, redirects not followed
    int form;         // the form posted back; 0: taken (200, or 302 to the next page)
    const char* ipp;  // ipptool's status-code
    bool takesEffect;
};

class AppNetwork;

// One thing an administrator does, and how the test sees that it was done.
// Each row runs alone: before it, the printer office is there, idle,
// accepting jobs and not holding new ones, and no printer "evil" exists.
struct AdminRow {
    std::string what;
    // A web form, as a person's browser sends it: the page, and the fields
    // filled in (the session token comes from the page).
    const char* page = nullptr;
    std::string form;
    // Or an IPP operation: a .test file of tests/app, sent to the printer
    // office or to the system, with its variables.
    const char* testFile = nullptr;
    bool toSystem = false;
    Vars vars;
    // Sets up what the action acts on; the variables it made (a job's ID).
    std::function<Vars(AppNetwork&)> prepare;
    // What the action changed, in words; empty when nothing did.
    std::function<std::string(AppNetwork&, const Vars&)> effect;
};

class AppNetwork : public ::testing::Test {
  public:
    void SetUp() override {
        net_ = std::make_unique<NetworkPair>();
        if (!net_->ready())
            SKIP_UNLESS_REQUIRED(net_->why());
        clientHome_ = temp_dir();
    }
    void TearDown() override {
        if (app_ && app_->running())
            cancel_all_jobs();
        app_.reset();
        discovery_.reset();
        net_.reset();
    }

    // Starts the server as the packaged service starts it, in the server's
    // namespace; with a login in its admin-password-file, and printer
    // discovery for the add-printer page, when asked.
    bool start(bool withLogin, bool withDiscovery) {
        AppServerOptions options;
        options.netns = net_->server;
        options.asService = true;
        if (withLogin)
            options.serverOptions.push_back("admin-password-file=" +
                                            password_file("admin", kAdminPassword));
        if (withDiscovery) {
            discovery_ = std::make_unique<Discovery>(net_->server, "tarnwel-print-server");
            EXPECT_TRUE(discovery_->running()) << discovery_->log();
            options.environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + discovery_->address());
        }
        app_ = std::make_unique<AppServer>("tnml20", options);
        return app_->running();
    }
    AppServer& app() { return *app_; }

    // --- The clients -----------------------------------------------------

    std::string host(const Caller& c) const { return c.local ? "127.0.0.1" : kServerAddress; }
    std::string url(const Caller& c, const std::string& path) const {
        return std::string(c.tls ? "https" : "http") + "://" + host(c) + ":" +
               std::to_string(app_->port()) + path;
    }
    std::string ipp_uri(const Caller& c, const std::string& resource) const {
        return std::string(c.tls ? "ipps" : "ipp") + "://" +
               (c.login.empty() ? "" : c.login + "@") + host(c) + ":" +
               std::to_string(app_->port()) + resource;
    }

    RunResult run_from(const Caller& c, const std::vector<std::string>& argv) const {
        std::vector<std::string> cmd = {"env", "HOME=" + clientHome_};
        cmd.insert(cmd.end(), argv.begin(), argv.end());
        return run_program(in_netns(c.local ? net_->server : net_->client, cmd));
    }

    // A request with curl (the self-signed certificate taken as it is), with
    // the caller's cookies and login; `extra`: more of curl's arguments.
    HttpReply fetch(const Caller& c, const std::string& address, bool follow,
                    const std::vector<std::string>& extra = {}) const {
        const std::string out = temp_dir();
        std::vector<std::string> argv = {"curl", "-s", "-k", "--max-time", "60"};
        argv.insert(argv.end(), {"-c", jar(c), "-b", jar(c)});
        argv.insert(argv.end(), {"-D", out + "/head", "-o", out + "/body"});
        argv.insert(argv.end(), {"-w", "%{http_code} %{url_effective}"});
        if (follow)
            argv.push_back("-L");
        if (!c.login.empty()) {
            argv.push_back("-u");
            argv.push_back(c.login);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(address);
        RunResult r = run_from(c, argv);
        HttpReply reply;
        std::istringstream written(r.out);
        written >> reply.status >> reply.url;
        reply.body = read_file(out + "/body");
        // With redirects followed, the headers of the last answer count.
        std::string head = read_file(out + "/head");
        size_t last = head.rfind("\r\n\r\n", head.size() >= 4 ? head.size() - 5 : 0);
        if (last != std::string::npos && last + 4 < head.size())
            head = head.substr(last + 4);
        std::istringstream lines(head);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            for (char& ch : name)
                ch = static_cast<char>(tolower(ch));
            const std::string value = line.substr(line.find_first_not_of(' ', colon + 1));
            if (name == "location")
                reply.location = value;
            else if (name == "www-authenticate")
                reply.authenticate = value;
        }
        return reply;
    }

    // A person's browser at a form: GET the page, take the hidden session
    // token from its form, POST the form back where the page was. Without a
    // form to take it from, the form goes without one.
    FormAttempt post_form(const Caller& c, const std::string& page, const std::string& fields,
                          bool followRedirects) const {
        FormAttempt a;
        a.page = fetch(c, url(c, page), followRedirects);
        std::string token;
        const std::string marker = "name=\"session\" value=\"";
        size_t at = a.page.body.find(marker);
        if (at != std::string::npos) {
            at += marker.size();
            token = a.page.body.substr(at, a.page.body.find('"', at) - at);
        }
        const std::string target =
            followRedirects && !a.page.url.empty() ? a.page.url : url(c, page);
        a.posted = fetch(c, target, false,
                         {"--data-raw", (fields.empty() ? "" : fields + "&") + "session=" + token});
        return a;
    }

    // ipptool with a .test file of tests/app, as the caller, at the
    // printer office or another resource; -v shows the whole answer.
    RunResult ipp(const Caller& c, const std::string& resource, const std::string& testFile,
                  Vars vars, const std::string& document = "") const {
        std::vector<std::string> argv = {"ipptool", "-tv", "-T", "60"};
        vars.emplace("requester", c.user);
        for (const auto& [name, value] : vars) {
            argv.push_back("-d");
            argv.push_back(name + "=" + value);
        }
        if (!document.empty()) {
            argv.push_back("-f");
            argv.push_back(document);
        }
        argv.push_back(ipp_uri(c, resource));
        argv.push_back(std::string(TARNWEL_SOURCE_DIR) + "/tests/app/" + testFile);
        return run_from(c, argv);
    }

    // --- The local side: the control socket and 127.0.0.1 ---------------

    std::set<std::string> printers() const {
        std::set<std::string> names;
        std::istringstream lines(app_->command({"printers"}).out);
        for (std::string line; std::getline(lines, line);)
            names.insert(line);
        return names;
    }
    bool has_printer(const std::string& name) const { return printers().count(name) > 0; }

    // The ID the server keeps for a printer. PAPPL 1.3.1 reports
    // "printer-id" 0 for a printer added while the server runs (until it
    // restarts), and the `delete` command fails on it; the ID is in the state
    // the server saves, a moment after the printer came.
    std::string printer_id(const std::string& name) const { return app_->printer_id(name); }

    // Deletes a printer as the local administrator does, on its web page.
    void delete_printer(const std::string& name) const {
        FormAttempt a = post_form(kLocalSide, "/" + name + "/delete", "", false);
        EXPECT_EQ(a.posted.status, 302) << "deleting " << name << ": " << a.posted.summary();
    }

    // One attribute of office's that administration changes.
    std::string office(const std::string& attribute) const {
        return ipp_value(app_->ipptool("printer-admin-state.test", {}).out, attribute);
    }

    RunResult local_ipp(const std::string& testFile, Vars vars,
                        const std::string& document = "") const {
        vars.emplace("requester", kLocalSide.user);
        return app_->ipptool(testFile, vars, document);
    }

    std::string job_attribute(const std::string& jobId, const std::string& attribute) const {
        return ipp_value(local_ipp("get-job.test", {{"jobid", jobId}}).out, attribute);
    }

    // A job of `user`'s held until someone releases it; its ID.
    std::string submit_held(const std::string& user, const std::string& name) {
        RunResult r =
            app_->ipptool("submit-held.test",
                          {{"requester", user}, {"jobname", name}, {"format", "application/pdf"}},
                          std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf");
        const std::string id = ipp_value(r.out, "job-id");
        EXPECT_NE(id, "") << r.out;
        return id;
    }

    // A job that office is printing, as long as the test wants; its ID.
    std::string printing_job() {
        stalled_ = std::make_unique<StalledJob>(net_->server, app_->port(), letter_band_page());
        const std::string id = std::to_string(stalled_->id());
        for (int i = 0; i < 300 && job_attribute(id, "job-state") != "processing"; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(job_attribute(id, "job-state"), "processing") << "job " << id;
        return id;
    }

    // Cancels every job of every printer, so that the server ends at once
    // when the test shuts it down (PAPPL 1.3.1 waits a minute for held jobs).
    void cancel_all_jobs() {
        stalled_.reset();
        for (const std::string& printer : printers())
            app_->ipptool("printer-operation.test",
                          {{"operation", "Cancel-Jobs"}, {"requester", kLocalSide.user}}, "", "",
                          printer);
    }

    // Office as each row expects it: there, idle, accepting jobs and not
    // holding new ones; no printer evil.
    void baseline() {
        stalled_.reset();
        std::set<std::string> names = printers();
        if (!names.count("office")) {
            RunResult add = app_->command({"add", "-d", "office", "-m", "tnml20", "-v",
                                           "file://" + app_->dir() + "/out?ext=prn"});
            ASSERT_EQ(add.status, 0) << add.out;
        }
        if (names.count("evil"))
            delete_printer("evil");
        const std::string state = app_->ipptool("printer-admin-state.test", {}).out;
        if (ipp_value(state, "printer-state") == "processing") {
            local_ipp("printer-operation.test", {{"operation", "Cancel-Jobs"}});
            for (int i = 0; i < 300 && office("printer-state") == "processing"; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (ipp_value(state, "printer-state") == "stopped")
            local_ipp("printer-operation.test", {{"operation", "Resume-Printer"}});
        if (ipp_value(state, "printer-is-accepting-jobs") != "true")
            local_ipp("printer-operation.test", {{"operation", "Enable-Printer"}});
        if (contains(ipp_value(state, "printer-state-reasons"), "hold-new-jobs"))
            local_ipp("printer-operation.test", {{"operation", "Release-Held-New-Jobs"}});
    }

    // Runs every row of the table as `caller`, and checks what it got and
    // what it did.
    void run_admin_table(const Caller& caller, const Outcome& expected);

    std::unique_ptr<NetworkPair> net_;
    std::unique_ptr<Discovery> discovery_;
    std::unique_ptr<AppServer> app_;
    std::unique_ptr<StalledJob> stalled_;
    std::string clientHome_;

  private:
    std::string jar(const Caller& c) const {
        return clientHome_ + "/cookies-" + std::to_string(std::hash<std::string>()(c.label));
    }
};

// --- The rows -------------------------------------------------------------

AdminRow web_row(const std::string& what, const char* page, const std::string& form,
                 std::function<Vars(AppNetwork&)> prepare,
                 std::function<std::string(AppNetwork&, const Vars&)> effect) {
    AdminRow row;
    row.what = what;
    row.page = page;
    row.form = form;
    row.prepare = std::move(prepare);
    row.effect = std::move(effect);
    return row;
}

AdminRow ipp_row(const std::string& what, const char* testFile, bool toSystem, const Vars& vars,
                 std::function<Vars(AppNetwork&)> prepare,
                 std::function<std::string(AppNetwork&, const Vars&)> effect) {
    AdminRow row;
    row.what = what;
    row.testFile = testFile;
    row.toSystem = toSystem;
    row.vars = vars;
    row.prepare = std::move(prepare);
    row.effect = std::move(effect);
    return row;
}

Vars nothing_to_prepare(AppNetwork&) {
    return {};
}

Vars a_held_job(AppNetwork& t) {
    return {{"jobid", t.submit_held("frontdesk", "held letter")}};
}

Vars a_printing_job(AppNetwork& t) {
    return {{"jobid", t.printing_job()}};
}

std::string office_gone(AppNetwork& t, const Vars&) {
    return t.has_printer("office") ? "" : "the printer office is gone";
}

std::string evil_created(AppNetwork& t, const Vars&) {
    return t.has_printer("evil") ? "a printer evil was created" : "";
}

std::string job_canceled(AppNetwork& t, const Vars& v) {
    const std::string state = t.job_attribute(v.at("jobid"), "job-state");
    const std::string reasons = t.job_attribute(v.at("jobid"), "job-state-reasons");
    return state == "canceled" || contains(reasons, "processing-to-stop-point")
               ? "job " + v.at("jobid") + " was canceled (" + state + ", " + reasons + ")"
               : "";
}

std::function<std::string(AppNetwork&, const Vars&)> office_location_is(const std::string& text) {
    return [text](AppNetwork& t, const Vars&) {
        return t.office("printer-location") == text ? "office's location is now \"" + text + "\""
                                                    : "";
    };
}

std::vector<AdminRow> admin_rows() {
    return {
        web_row("delete the printer office on its web page", "/office/delete", "",
                nothing_to_prepare, office_gone),
        web_row("add a printer evil on socket://10.231.0.2:9100 on the add-printer page",
                "/addprinter",
                "printer_name=evil&driver_name=tnml20&device_uri=socket&hostname=10.231.0.2%3A9100",
                nothing_to_prepare, evil_created),
        web_row("make card stock office's paper on its printing defaults page", "/office/printing",
                "media-type=cardstock", nothing_to_prepare,
                [](AppNetwork& t, const Vars&) -> std::string {
                    return contains(t.office("media-col-default"), "media-type=cardstock")
                               ? "office's default paper is card stock now"
                               : "";
                }),
        web_row("set office's location on its configuration page", "/office/config",
                "location=Moved+by+web", nothing_to_prepare, office_location_is("Moved by web")),
        web_row("cancel all of office's jobs on its page", "/office/cancelall", "", a_held_job,
                job_canceled),
        web_row("set the system's location on its configuration page", "/config",
                "location=Moved+system", nothing_to_prepare,
                [](AppNetwork& t, const Vars&) -> std::string {
                    return contains(t.fetch(kLocalSide, t.url(kLocalSide, "/config"), false).body,
                                    "value=\"Moved system\"")
                               ? "the system's location is now \"Moved system\""
                               : "";
                }),
        ipp_row("Pause-Printer", "printer-operation.test", false, {{"operation", "Pause-Printer"}},
                nothing_to_prepare,
                [](AppNetwork& t, const Vars&) -> std::string {
                    return t.office("printer-state") == "stopped" ? "office is stopped" : "";
                }),
        ipp_row("Disable-Printer", "printer-operation.test", false,
                {{"operation", "Disable-Printer"}}, nothing_to_prepare,
                [](AppNetwork& t, const Vars&) -> std::string {
                    return t.office("printer-is-accepting-jobs") == "false"
                               ? "office no longer accepts jobs"
                               : "";
                }),
        ipp_row("Cancel-Current-Job while office prints", "printer-operation.test", false,
                {{"operation", "Cancel-Current-Job"}}, a_printing_job, job_canceled),
        ipp_row("Cancel-Jobs", "printer-operation.test", false, {{"operation", "Cancel-Jobs"}},
                a_held_job, job_canceled),
        ipp_row("Hold-New-Jobs", "printer-operation.test", false, {{"operation", "Hold-New-Jobs"}},
                nothing_to_prepare,
                [](AppNetwork& t, const Vars&) -> std::string {
                    return contains(t.office("printer-state-reasons"), "hold-new-jobs")
                               ? "office holds new jobs"
                               : "";
                }),
        ipp_row("Set-Printer-Attributes printer-location", "set-printer-location.test", false,
                {{"location", "Moved by IPP"}}, nothing_to_prepare,
                office_location_is("Moved by IPP")),
        ipp_row(
            "Delete-Printer office", "delete-printer.test", true, {},
            [](AppNetwork& t) {
                return Vars{{"printerid", t.printer_id("office")}};
            },
            office_gone),
        ipp_row("Create-Printer evil on socket://10.231.0.2:9100", "create-printer.test", true,
                {{"name", "evil"}, {"driver", "tnml20"}, {"deviceuri", "socket://10.231.0.2:9100"}},
                nothing_to_prepare, evil_created),
    };
}

void AppNetwork::run_admin_table(const Caller& caller, const Outcome& expected) {
    for (const AdminRow& row : admin_rows()) {
        const std::string where = "\"" + row.what + "\" (" + caller.label + "): ";
        baseline();
        if (HasFatalFailure())
            return;
        const Vars prepared = row.prepare(*this);
        if (row.page) {
            const FormAttempt a = post_form(caller, row.page, row.form, false);
            EXPECT_EQ(a.page.status, expected.page) << where << "the page answered\n"
                                                    << a.page.summary();
            if (expected.form)
                EXPECT_EQ(a.posted.status, expected.form) << where << "the form answered\n"
                                                          << a.posted.summary();
            else
                EXPECT_TRUE(a.posted.status == 200 || a.posted.status == 302)
                    << where << "the form answered\n"
                    << a.posted.summary();
            if (expected.page == 301) {
                const std::string secure =
                    "https://" + host(caller) + ":" + std::to_string(app_->port()) + row.page;
                EXPECT_EQ(a.page.location, secure) << where << a.page.summary();
            } else if (expected.page == 403) {
                EXPECT_TRUE(contains(a.page.body, "admin-password-file"))
                    << where << "the page does not say how to turn remote administration on\n"
                    << a.page.summary();
            } else if (expected.page == 401) {
                EXPECT_TRUE(starts_with(a.page.authenticate, "Basic"))
                    << where << "the page asks for no login\n"
                    << a.page.summary();
                EXPECT_TRUE(starts_with(a.posted.authenticate, "Basic"))
                    << where << "the form asks for no login\n"
                    << a.posted.summary();
            }
        } else {
            Vars vars = row.vars;
            vars.insert(prepared.begin(), prepared.end());
            RunResult r =
                ipp(caller, row.toSystem ? "/ipp/system" : "/ipp/print/office", row.testFile, vars);
            EXPECT_EQ(status_code(r.out), expected.ipp) << where << "ipptool got\n"
                                                        << first_lines(r.out, 30);
        }
        const std::string effect = row.effect(*this, prepared);
        if (expected.takesEffect)
            EXPECT_NE(effect, "") << where << "the action did not take effect";
        else
            EXPECT_EQ(effect, "") << where << "the action was refused, yet took effect";
    }
}

// What a client that is not alice sees of her job: its name, or her name.
std::string leak(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (contains(line, kSecretJob) ||
            (contains(line, "job-originating-user-name") && contains(line, "= alice")))
            return line;
    return "";
}

}  // namespace

// ---------------------------------------------------------------------------
// Administration, from each place and in each way a client can ask
// ---------------------------------------------------------------------------

// The service as installed: no login yet. A browser's plain request for a
// page is sent on to https://; a form or an IPP request over plain HTTP is
// refused with 426 (ipptool then upgrades to TLS by itself, and gets the
// answer there: forbidden).
// `passwd` adds or replaces one login and keeps the others; a file it
// cannot read whole is left as it is.
TEST(AppPasswd, OneLoginChangesAndTheOthersStay) {
    const std::string path = temp_dir() + "/passwd";
    auto hash_of = [&](const std::string& login) {
        std::istringstream lines(read_file(path));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(login + ":", 0) == 0)
                return line.substr(login.size() + 1);
        return std::string();
    };
    struct Step {
        const char* login;
        const char* password;
        bool ok;
        std::vector<std::string> logins;  // in the file afterwards
    } steps[] = {
        {"admin", "first password", true, {"admin"}},
        {"second", "another password", true, {"admin", "second"}},
        {"admin", "a new password", true, {"admin", "second"}},
        {"admin", "short", false, {"admin", "second"}},
    };
    std::string adminHash;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.login) + " / " + step.password);
        const std::string before = read_file(path);
        RunResult r = run_passwd(path, step.login, step.password);
        EXPECT_EQ(r.status == 0, step.ok) << r.out;
        if (!step.ok) {
            EXPECT_EQ(read_file(path), before);
        }
        std::string text = read_file(path);
        EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')),
                  step.logins.size())
            << text;
        for (const std::string& login : step.logins)
            EXPECT_EQ(hash_of(login).rfind("$", 0), 0u) << login << " is missing\n" << text;
        EXPECT_EQ(text.find(step.password), std::string::npos) << "the password is in the file";
        if (step.ok && std::string(step.login) == "admin") {
            EXPECT_NE(hash_of("admin"), adminHash) << "the password did not change";
            adminHash = hash_of("admin");
        }
    }
    // Too many logins to read whole: nothing is lost.
    std::string many = read_file(path);
    for (int i = 0; many.size() < (80 << 10); i++)
        many += "user" + std::to_string(i) + ":" + adminHash + "\n";
    write_file(path, many);
    RunResult r = run_passwd(path, "admin", "yet another password");
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("left as it is"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(path), many);
}

TEST_F(AppNetwork, PlainHttpFromTheNetworkIsSentToTls) {
    ASSERT_TRUE(start(false, true)) << app().log();
    run_admin_table(kPlainFromNetwork, {301, 426, "client-error-forbidden", false});

    // IPP itself over plain HTTP, as a client that does not upgrade sends it.
    const std::string request = clientHome_ + "/pause.ipp";
    write_file(request, ipp_request_bytes(IPP_OP_PAUSE_PRINTER,
                                          url(kPlainFromNetwork, "/ipp/print/office"), "mallory"));
    HttpReply reply =
        fetch(kPlainFromNetwork, url(kPlainFromNetwork, "/ipp/print/office"), false,
              {"-H", "Content-Type: application/ipp", "--data-binary", "@" + request});
    EXPECT_EQ(reply.status, 426) << "Pause-Printer over plain HTTP: " << reply.summary();
    EXPECT_EQ(office("printer-state"), "idle");
}

TEST_F(AppNetwork, TlsWithoutALoginConfiguredIsForbiddenAndSaysHowToAllowIt) {
    ASSERT_TRUE(start(false, true)) << app().log();
    run_admin_table(kTlsFromNetwork, {403, 403, "client-error-forbidden", false});
}

TEST_F(AppNetwork, WithALoginConfiguredTheNetworkIsAskedForIt) {
    ASSERT_TRUE(start(true, true)) << app().log();
    run_admin_table(kTlsFromNetwork, {401, 401, "client-error-not-authenticated", false});
    run_admin_table(kWrongLogin, {401, 401, "client-error-not-authenticated", false});
    // Plain HTTP is sent to TLS first, where the login is asked for.
    run_admin_table(kPlainFromNetwork, {301, 426, "client-error-not-authenticated", false});
}

TEST_F(AppNetwork, TheLoginAdministersFromTheNetworkOverTls) {
    ASSERT_TRUE(start(true, true)) << app().log();
    run_admin_table(kAdminLogin, {200, 0, "successful-ok", true});
}

TEST_F(AppNetwork, TheLocalSideAdministersWithoutALogin) {
    ASSERT_TRUE(start(false, true)) << app().log();
    run_admin_table(kLocalSide, {200, 0, "successful-ok", true});
}

// A page from elsewhere whose name a browser on this machine was made to
// resolve to 127.0.0.1 (DNS rebinding) is not the local side: its requests
// come over loopback but carry its own name, and get what a stranger gets.
TEST_F(AppNetwork, APageThatRebindsItsNameToThisMachineIsAStranger) {
    ASSERT_TRUE(start(false, false)) << app().log();
    const std::string port = std::to_string(app().port());
    const std::string request = clientHome_ + "/pause.ipp";
    const struct {
        const char* host;
        bool local;
    } names[] = {
        {"localhost", true},
        {"127.0.0.1", true},
        {"1.rebind.example", false},
        {"127.0.0.1.rebind.example", false},
        {"rebind-printer.local", false},
    };
    for (const auto& n : names) {
        SCOPED_TRACE(n.host);
        const std::string base = std::string("http://") + n.host + ":" + port;
        const std::vector<std::string> resolve = {"--resolve",
                                                  std::string(n.host) + ":" + port + ":127.0.0.1"};
        HttpReply page = fetch(kLocalSide, base + "/config", false, resolve);
        if (n.local) {
            EXPECT_EQ(page.status, 200) << page.summary();
        } else {
            EXPECT_NE(page.status, 200) << page.summary();
            EXPECT_NE(page.status, 0) << page.summary();
        }
        write_file(request, ipp_request_bytes(IPP_OP_PAUSE_PRINTER, base + "/ipp/print/office",
                                              "frontdesk"));
        std::vector<std::string> post = resolve;
        post.insert(post.end(),
                    {"-H", "Content-Type: application/ipp", "--data-binary", "@" + request});
        HttpReply paused = fetch(kLocalSide, base + "/ipp/print/office", false, post);
        EXPECT_EQ(office("printer-state") == "stopped", n.local) << paused.summary();
        local_ipp("printer-operation.test", {{"operation", "Resume-Printer"}});
    }
}

// ---------------------------------------------------------------------------
// Printing, and other people's jobs
// ---------------------------------------------------------------------------

TEST_F(AppNetwork, EveryoneOnTheNetworkPrintsWithoutALogin) {
    ASSERT_TRUE(start(true, false)) << app().log();
    const Caller bob = {"plain IPP from the network", false, false, "", "bob"};
    const struct {
        const char* name;
        std::string document, format;
    } jobs[] = {
        {"network page", letter_band_page(), "image/pwg-raster"},
        {"network pdf", std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf", "application/pdf"},
    };
    for (const auto& job : jobs) {
        JobOutcome o = outcome(ipp(bob, "/ipp/print/office", "print-plain.test",
                                   {{"format", job.format}, {"jobname", job.name}}, job.document));
        EXPECT_EQ(o.state, "completed") << job.name << ": " << first_lines(o.ipptool.out, 30);
        EXPECT_FALSE(app().output(job.name).empty()) << job.name << " did not reach the printer";
    }
}

// Alice's job waits to be released; mallory, on the network, may neither
// change it nor learn what it is or whose; alice herself may cancel it.
TEST_F(AppNetwork, OtherPeoplesJobsAreNeitherTouchedNorNamed) {
    ASSERT_TRUE(start(false, false)) << app().log();
    const Caller mallory = kPlainFromNetwork;

    // Each on a job of alice's of its own.
    const struct {
        const char* what;
        const char* testFile;
        Vars vars;
    } attempts[] = {
        {"Cancel-Job", "job-operation.test", {{"operation", "Cancel-Job"}}},
        {"Hold-Job until the weekend", "hold-job.test", {{"holduntil", "weekend"}}},
        {"Release-Job", "job-operation.test", {{"operation", "Release-Job"}}},
    };
    for (const auto& a : attempts) {
        const std::string job = submit_held("alice", kSecretJob);
        Vars vars = a.vars;
        vars["jobid"] = job;
        RunResult r = ipp(mallory, "/ipp/print/office", a.testFile, vars);
        EXPECT_TRUE(starts_with(status_code(r.out), "client-error-"))
            << "mallory's " << a.what << " of alice's job " << job << " was not refused ("
            << status_code(r.out) << "):\n"
            << first_lines(r.out, 30);
        EXPECT_EQ(job_attribute(job, "job-state"), "pending-held") << "after " << a.what;
        EXPECT_EQ(job_attribute(job, "job-hold-until"), "indefinite") << "after " << a.what;
    }

    const std::string job = submit_held("alice", kSecretJob);
    for (const char* which : {"not-completed", "all"}) {
        RunResult r = ipp(mallory, "/ipp/print/office", "get-jobs-all.test", {{"which", which}});
        EXPECT_EQ(status_code(r.out), "successful-ok") << first_lines(r.out, 30);
        EXPECT_EQ(leak(r.out), "") << "Get-Jobs (" << which << ") shows mallory alice's job";
    }
    RunResult attributes = ipp(mallory, "/ipp/print/office", "get-job.test", {{"jobid", job}});
    EXPECT_NE(status_code(attributes.out), "") << attributes.out;
    EXPECT_EQ(leak(attributes.out), "") << "Get-Job-Attributes shows mallory alice's job";

    // The events of alice's jobs, through a subscription of mallory's own or
    // through alice's, by either address.
    const Caller alice = {"plain HTTP from the network, as alice", false, false, "", "alice"};
    auto subscribe = [&](const Caller& c) {
        RunResult r = ipp(c, "/ipp/print/office", "subscribe.test", {});
        EXPECT_EQ(status_code(r.out), "successful-ok") << first_lines(r.out, 30);
        return ipp_value(r.out, "notify-subscription-id");
    };
    const std::string alicesEvents = subscribe(alice), mallorysEvents = subscribe(mallory);
    const std::string another = submit_held("alice", kSecretJob);
    for (const std::string& subid : {mallorysEvents, alicesEvents})
        for (const char* resource : {"/ipp/print/office", "/ipp/system"}) {
            RunResult r = ipp(mallory, resource, "subscription-operation.test",
                              {{"operation", "Get-Notifications"}, {"subid", subid}});
            EXPECT_NE(status_code(r.out), "") << r.out;
            EXPECT_EQ(leak(r.out), "") << "Get-Notifications of subscription " << subid << " at "
                                       << resource << " shows mallory alice's job";
        }
    RunResult whose = ipp(mallory, "/ipp/print/office", "subscription-operation.test",
                          {{"operation", "Get-Subscription-Attributes"}, {"subid", alicesEvents}});
    EXPECT_NE(status_code(whose.out), "") << whose.out;
    EXPECT_FALSE(contains(whose.out, "notify-subscriber-user-name (nameWithoutLanguage) = alice"))
        << "mallory is told whose subscription it is:\n"
        << whose.out;
    // Mallory cannot end or keep alice's subscription; alice sees her own
    // job in it.
    for (const char* operation : {"Cancel-Subscription", "Renew-Subscription"})
        for (const char* resource : {"/ipp/print/office", "/ipp/system"}) {
            RunResult r = ipp(mallory, resource, "subscription-operation.test",
                              {{"operation", operation}, {"subid", alicesEvents}});
            EXPECT_TRUE(starts_with(status_code(r.out), "client-error-"))
                << "mallory's " << operation << " of alice's subscription at " << resource
                << " was not refused:\n"
                << first_lines(r.out, 30);
        }
    RunResult own = ipp(alice, "/ipp/print/office", "subscription-operation.test",
                        {{"operation", "Get-Notifications"}, {"subid", alicesEvents}});
    // (ipptool finds fault with PAPPL 1.3.1's empty notify-subscription-uuid.)
    EXPECT_TRUE(contains(own.out, kSecretJob)) << "alice does not see her own job:\n" << own.out;
    app().command({"cancel", "-d", "office", "-j", another});

    // The pages a browser on the network is shown, wherever it is sent.
    for (const char* page : {"/", "/office", "/office/jobs"}) {
        HttpReply reply = fetch(mallory, url(mallory, page), true);
        EXPECT_NE(reply.status, 0) << page;
        EXPECT_FALSE(contains(reply.body, kSecretJob))
            << "the page " << page << " shows alice's job to the network: " << reply.summary();
    }

    // Alice herself, from the same network, cancels her own job.
    RunResult cancel = ipp(alice, "/ipp/print/office", "job-operation.test",
                           {{"operation", "Cancel-Job"}, {"jobid", job}});
    EXPECT_EQ(status_code(cancel.out), "successful-ok") << first_lines(cancel.out, 30);
    EXPECT_EQ(job_attribute(job, "job-state"), "canceled");
}

// ---------------------------------------------------------------------------
// file: devices
// ---------------------------------------------------------------------------

TEST_F(AppNetwork, FileDevicesWriteOnlyIntoTheFolderTheServerNames) {
    ASSERT_TRUE(start(true, false)) << app().log();
    // The administrator on the network adds printers...
    RunResult network = ipp(
        kAdminLogin, "/ipp/system", "create-printer.test",
        {{"name", "netprinter"}, {"driver", "tnml20"}, {"deviceuri", "socket://10.231.0.2:9100"}});
    EXPECT_EQ(status_code(network.out), "successful-ok") << first_lines(network.out, 30);
    // ...but not one that writes where the server's user may write.
    for (const std::string& uri :
         {std::string("file:///var/tmp/x?ext=prn"), "file://" + app().dir() + "/spool?ext=prn"}) {
        RunResult r = ipp(kAdminLogin, "/ipp/system", "create-printer.test",
                          {{"name", "filedevice"}, {"driver", "tnml20"}, {"deviceuri", uri}});
        EXPECT_NE(status_code(r.out), "successful-ok") << uri << ":\n" << first_lines(r.out, 30);
        EXPECT_NE(status_code(r.out), "") << uri << ":\n" << r.out;
        if (has_printer("filedevice")) {
            ADD_FAILURE() << uri << " became a printer";
            delete_printer("filedevice");
        }
    }

    // The local administrator: outside the folder, refused in words that
    // name the folder; inside, a printer that prints.
    const std::string folder = app().dir() + "/out";
    RunResult outside = app().command(
        {"add", "-d", "outside", "-m", "tnml20", "-v", "file://" + app().dir() + "/home?ext=prn"});
    EXPECT_NE(outside.status, 0) << outside.out;
    EXPECT_TRUE(contains(outside.out, folder)) << "no word of the folder: " << outside.out;
    EXPECT_FALSE(has_printer("outside"));

    // A path that leads back inside, but longer than PAPPL reads: what it
    // would write into is its first 255 characters, a folder elsewhere.
    const std::string start = folder + "/../elsewhere/";
    const std::string cutThere = start + std::string(255 - start.size(), 'a');
    for (const std::string& f : {app().dir() + "/elsewhere", cutThere}) {
        mkdir(f.c_str(), 0777);
        chmod(f.c_str(), 0777);
    }
    RunResult cut = app().command(
        {"add", "-d", "cut", "-m", "tnml20", "-v", "file://" + cutThere + "/../../out?ext=prn"});
    EXPECT_NE(cut.status, 0) << cut.out;
    EXPECT_TRUE(contains(cut.out, "too long")) << cut.out;
    EXPECT_FALSE(has_printer("cut"));

    const std::string inside = folder + "/inside";
    mkdir(inside.c_str(), 0755);
    ASSERT_EQ(chown(inside.c_str(), kServerUser, kServerUser), 0);
    RunResult add = app().command(
        {"add", "-d", "inside", "-m", "tnml20", "-v", "file://" + inside + "?ext=prn"});
    ASSERT_EQ(add.status, 0) << add.out;
    JobOutcome job =
        print_plain(app(), letter_band_page(), "image/pwg-raster", "inside page", "inside");
    EXPECT_EQ(job.state, "completed") << job.ipptool.out;
    EXPECT_FALSE(read_file(inside + "/inside page.prn").empty());
}

// ---------------------------------------------------------------------------
// The whole attack: a stranger reroutes a printer to a machine of its own
// ---------------------------------------------------------------------------

// With no login set up, a stranger on the network deletes office on its web
// page and adds an office of its own that prints to its machine, as a
// browser would (following any redirect). Then someone here prints a
// document to office: it must print on office's own device, and not one byte
// may reach the stranger.
TEST_F(AppNetwork, AStrangerCannotRerouteAPrintersDocumentsToItself) {
    ASSERT_TRUE(start(false, true)) << app().log();
    Listener stranger(net_->client, kClientAddress, 9100);
    ASSERT_TRUE(stranger.listening()) << strerror(errno);
    const Caller browser = kPlainFromNetwork;

    FormAttempt removed = post_form(browser, "/office/delete", "", true);
    FormAttempt added = post_form(
        browser, "/addprinter",
        "printer_name=office&driver_name=tnml20&device_uri=socket&hostname=10.231.0.2%3A9100",
        true);
    const std::string attack = "the stranger's delete: " + removed.posted.summary() +
                               "\nthe stranger's add: " + added.posted.summary();

    JobOutcome job = print_plain(app(), letter_band_page(), "image/pwg-raster", kSecretJob);
    // Any connection the job made has had time to deliver its bytes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(stranger.bytes(), 0u) << stranger.bytes() << " bytes of \"" << kSecretJob
                                    << "\" reached the stranger's listener at 10.231.0.2:9100 ("
                                    << stranger.connections() << " connections)\n"
                                    << attack;
    EXPECT_EQ(job.state, "completed") << job.ipptool.out;
    EXPECT_FALSE(app().output(kSecretJob).empty())
        << "the job did not print on office's own device\n"
        << attack;
}
