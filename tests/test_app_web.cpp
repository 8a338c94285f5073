// SPDX-License-Identifier: Apache-2.0
// The printer application's web pages, against its real server on 127.0.0.1:
// the printing defaults in words, the add-printer page with and without
// printer discovery, and a person's way through them in a real browser
// (Debian's Chromium driven by playwright-core): add a network printer, set
// its defaults, print without options, restart the server.
//
// PAPPL's add-printer page looks for printers with mDNS and SNMP broadcasts
// on every network the machine has. The tests that open it run in a network
// of their own (only a loopback) with their own /run, where they start their
// own D-Bus system bus and avahi-daemon: nothing leaves the machine, and no
// other program sees the daemons. That takes root; without it those tests
// are skipped.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "models.h"
#include "stream_check.h"
#include "test_util.h"
#include "web.h"

namespace {

const std::string kWebTests = std::string(TARNWEL_SOURCE_DIR) + "/tests/web";

// Moves this test process (and every program it starts from now on) into a
// network with only a loopback and a /run of its own. Once per process; the
// web tests have their own test program, so no other test is moved with them.
bool enter_private_network(std::string& why) {
    static int entered = 0;
    static std::string reason;
    if (entered == 0) {
        entered = -1;
        if (getuid() != 0) {
            reason = "needs root for a network and a /run of its own";
        } else if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            reason = std::string("cannot make a network of its own: ") + strerror(errno);
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                   mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) {
            reason = std::string("cannot mount a /run of its own: ") + strerror(errno);
        } else {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq ifr{};
            snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
            bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
            ifr.ifr_flags |= IFF_UP;
            up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
            if (fd >= 0)
                close(fd);
            if (up)
                entered = 1;
            else
                reason = std::string("cannot bring the loopback up: ") + strerror(errno);
        }
    }
    why = reason;
    return entered == 1;
}

// A program that runs beside the test and dies with it, also when the test is
// killed.
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

// The system's D-Bus and avahi-daemon, as a machine that discovers printers
// runs them, but in the test's own network and /run. Both stay root (D-Bus
// from a copy of the system bus's configuration without its user), so that
// they die with the test whatever happens to it.
class Discovery {
  public:
    // withAvahi false: the system bus alone, as on a machine where
    // avahi-daemon is stopped or not installed.
    explicit Discovery(bool withAvahi = true) {
        dir_ = temp_dir();
        std::string config = read_file("/usr/share/dbus-1/system.conf");
        for (const char* drop : {"<user>messagebus</user>", "<fork/>"}) {
            size_t at = config.find(drop);
            if (at != std::string::npos)
                config.erase(at, strlen(drop));
        }
        // A relative folder is read beside the configuration file.
        const std::string relative = "<includedir>system.d</includedir>";
        size_t include = config.find(relative);
        if (include != std::string::npos)
            config.replace(include, relative.size(),
                           "<includedir>/usr/share/dbus-1/system.d</includedir>");
        size_t pidfile = config.find("<pidfile>");
        if (pidfile != std::string::npos)
            config.erase(pidfile, config.find("</pidfile>") + 10 - pidfile);
        write_file(dir_ + "/system.conf", config);
        mkdir("/run/dbus", 0755);
        dbus_ = start_program({"dbus-daemon", "--config-file=" + dir_ + "/system.conf", "--nofork"},
                              dir_ + "/dbus.log");
        for (int i = 0; i < 200 && access("/run/dbus/system_bus_socket", F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (!withAvahi)
            return;
        avahi_ = start_program({"avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits"},
                               dir_ + "/avahi.log");
        for (int i = 0; i < 200 && !running(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Discovery() {
        stop_program(avahi_);
        stop_program(dbus_);
    }
    // Asked over D-Bus as any client asks: avahi's server state 2 is "running".
    bool running() const {
        RunResult r =
            run_program({"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi",
                         "/", "org.freedesktop.Avahi.Server.GetState"});
        return r.status == 0 && r.out.find("int32 2") != std::string::npos;
    }
    std::string log() const {
        return read_file(dir_ + "/dbus.log") + read_file(dir_ + "/avahi.log");
    }

  private:
    std::string dir_;
    pid_t dbus_ = -1, avahi_ = -1;
};

// A network printer on 127.0.0.1 that keeps what each connection sent it.
class SocketPrinter {
  public:
    explicit SocketPrinter(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        listening_ =
            bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_, 4) == 0;
        thread_ = std::thread([this] {
            int c;
            while ((c = accept(fd_, nullptr, nullptr)) >= 0) {
                std::string job;
                char buf[65536];
                ssize_t n;
                while ((n = read(c, buf, sizeof(buf))) > 0)
                    job.append(buf, static_cast<size_t>(n));
                close(c);
                std::lock_guard<std::mutex> guard(lock_);
                jobs_.push_back(job);
            }
        });
    }
    ~SocketPrinter() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    bool listening() const { return listening_; }
    // The streams of the connections that have ended, oldest first.
    std::vector<std::string> jobs() {
        std::lock_guard<std::mutex> guard(lock_);
        return jobs_;
    }

  private:
    int fd_ = -1;
    bool listening_ = false;
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> jobs_;
};

struct HttpReply {
    int status = 0;
    std::string body;
};

// A GET of a page, or a POST of a form when there is one.
HttpReply http_request(int port, const std::string& path, const std::string& form = "",
                       const std::string& language = "") {
    HttpReply reply;
    http_t* http =
        httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 60000, nullptr);
    if (!http)
        return reply;
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_HOST, ("127.0.0.1:" + std::to_string(port)).c_str());
    if (!language.empty())
        httpSetField(http, HTTP_FIELD_ACCEPT_LANGUAGE, language.c_str());
    bool sent;
    if (form.empty()) {
        sent = httpGet(http, path.c_str()) == 0;
    } else {
        httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
        httpSetLength(http, form.size());
        sent = httpPost(http, path.c_str()) == 0 &&
               httpWrite2(http, form.data(), form.size()) == static_cast<ssize_t>(form.size());
    }
    if (sent) {
        http_status_t status;
        while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
        }
        reply.status = status;
        char buf[8192];
        ssize_t n;
        while ((n = httpRead2(http, buf, sizeof(buf))) > 0)
            reply.body.append(buf, static_cast<size_t>(n));
    }
    httpClose(http);
    return reply;
}

// What a program needs to drive Chromium, or why it cannot here.
std::string browser_missing() {
    if (run_program({"node", "--version"}).status != 0)
        return "node is not installed";
    if (access("/usr/bin/chromium", X_OK) != 0)
        return "Chromium (Debian's chromium) is not installed";
    if (access((kWebTests + "/node_modules/playwright-core/package.json").c_str(), R_OK) != 0)
        return "playwright-core is not installed (npm ci in tests/web)";
    return "";
}

RunResult browser(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"node", kWebTests + "/printing-defaults.mjs"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

}  // namespace

// ---------------------------------------------------------------------------
// The printing defaults, in words
// ---------------------------------------------------------------------------
TEST(AppWeb, PrintingDefaultsShowTheDriversSettingsInWords) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    HttpReply page = http_request(app.port(), "/office/printing");
    ASSERT_EQ(page.status, 200) << page.body;
    // Every choice of the model table, under the name a person knows, and
    // the default checked.
    std::vector<std::string> words = {"Printer model:", "Tarnwel Mono Laser 20", "Paper size:",
                                      "Paper weight:",  "Two-sided printing:",   "Print density:"};
    for (size_t i = 0; i < tarnwel::kNumDensityLevels; i++)
        words.push_back(tarnwel::kDensityLevels[i].label);
    for (size_t i = 0; i < tarnwel::kNumPaperWeights; i++)
        words.push_back(tarnwel::kPaperWeights[i].label);
    for (size_t i = 0; i < tarnwel::kNumSidesChoices; i++)
        words.push_back(tarnwel::kSidesChoices[i].label);
    for (const char* size : {"US Letter", "A4", "Envelope #10"})
        words.push_back(size);
    for (const std::string& w : words)
        EXPECT_NE(page.body.find(w), std::string::npos) << "no \"" << w << "\" in\n" << page.body;
    EXPECT_NE(page.body.find("value=\"0\" checked> Normal"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("value=\"stationery\" checked> Plain"), std::string::npos);
    // Not PAPPL's own page, which shows the density as a percentage.
    EXPECT_EQ(page.body.find("50%"), std::string::npos) << page.body;
}

TEST(AppWeb, PrintingDefaultsTakeOnlyAFormOfTheirOwnPage) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // A form posted from elsewhere (another site a person's browser has
    // open) carries no session token of the page: nothing changes.
    HttpReply posted =
        http_request(app.port(), "/office/printing", "print-darkness=100&media-type=cardstock");
    EXPECT_EQ(posted.status, 200);
    EXPECT_NE(posted.body.find("Invalid form submission."), std::string::npos) << posted.body;
    HttpReply page = http_request(app.port(), "/office/printing");
    EXPECT_NE(page.body.find("value=\"0\" checked> Normal"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("value=\"stationery\" checked> Plain"), std::string::npos);
}

// A browser that asks for German, French, Spanish or Italian gets the
// settings in its language.
TEST(AppWeb, PrintingDefaultsSpeakTheBrowsersLanguage) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    for (const char* language : {"de", "fr-FR,fr;q=0.9", "es", "it"}) {
        SCOPED_TRACE(language);
        HttpReply page = http_request(app.port(), "/office/printing", "", language);
        ASSERT_EQ(page.status, 200);
        size_t found = 0;
        for (size_t i = 0; i < tarnwel::kNumTranslations; i++) {
            const tarnwel::Translation& t = tarnwel::kTranslations[i];
            if (strncmp(language, t.language, 2) != 0 || strncmp(t.key, "AddPrinter.", 11) == 0)
                continue;
            found++;
            EXPECT_NE(page.body.find(t.text), std::string::npos) << t.key << "\n" << page.body;
        }
        EXPECT_EQ(found, 16u);
        EXPECT_EQ(page.body.find("Darkest"), std::string::npos) << page.body;
    }
}

// Every word of the pages has its translation, and the print density and
// paper weight read as in the PPD's translations.
TEST(AppWeb, TranslationsAreWholeAndMatchThePpds) {
    // The page's own keys ("PrintDensity.Dark") need a translation each;
    // IPP's names ("media-type.cardstock", lower case) are made from them,
    // and every language has them all.
    auto keys_of = [](const std::string& strings, bool ipp) {
        std::vector<std::string> keys;
        std::istringstream lines(strings);
        for (std::string line; std::getline(lines, line);) {
            std::string key = line.substr(1, line.find('"', 1) - 1);
            if (!key.empty() && (islower(static_cast<unsigned char>(key[0])) != 0) == ipp)
                keys.push_back(key);
        }
        return keys;
    };
    const std::vector<std::string> keys = keys_of(tarnwel::page_strings("en"), false);
    ASSERT_EQ(keys.size(), 19u);
    const std::vector<std::string> ippKeys = keys_of(tarnwel::page_strings("en"), true);
    EXPECT_EQ(ippKeys.size(), 12u);
    for (size_t l = 0; l < tarnwel::kNumLanguages; l++) {
        const std::string language = tarnwel::kLanguages[l];
        EXPECT_EQ(keys_of(tarnwel::page_strings(language), true), ippKeys) << language;
        if (language == "en")
            continue;
        SCOPED_TRACE(language);
        std::map<std::string, std::string> text;
        for (size_t i = 0; i < tarnwel::kNumTranslations; i++) {
            const tarnwel::Translation& t = tarnwel::kTranslations[i];
            if (language == t.language) {
                EXPECT_TRUE(text.emplace(t.key, t.text).second) << "twice: " << t.key;
            }
        }
        for (const std::string& key : keys)
            EXPECT_EQ(text.count(key), 1u) << "no translation of " << key;
        EXPECT_EQ(text.size(), keys.size());
        // The PPD's catalog: msgid (the PPD's English) -> msgstr.
        std::map<std::string, std::string> po;
        std::istringstream in(
            read_file(std::string(TARNWEL_SOURCE_DIR) + "/ppd/po/" + language + ".po"));
        std::string line, id;
        while (std::getline(in, line)) {
            auto quoted = [&] {
                return line.substr(line.find('"') + 1, line.rfind('"') - line.find('"') - 1);
            };
            if (line.rfind("msgid ", 0) == 0)
                id = quoted();
            else if (line.rfind("msgstr ", 0) == 0)
                po[id] = quoted();
        }
        auto ppd_text = [](std::string label) {
            for (size_t at; (at = label.find(" g/m²")) != std::string::npos;)
                label.replace(at, strlen(" g/m²"), " gsm");
            return label;
        };
        EXPECT_EQ(text["PrintDensity"], po["Print Density"]);
        EXPECT_EQ(text["PaperWeight"], po["Paper Weight"]);
        for (size_t i = 0; i < tarnwel::kNumDensityLevels; i++)
            EXPECT_EQ(text[std::string("PrintDensity.") + tarnwel::kDensityLevels[i].choice],
                      po[tarnwel::kDensityLevels[i].label]);
        for (size_t i = 0; i < tarnwel::kNumPaperWeights; i++)
            EXPECT_EQ(text[std::string("PaperWeight.") + tarnwel::kPaperWeights[i].choice],
                      po[ppd_text(tarnwel::kPaperWeights[i].label)]);
    }
}

TEST(AppWeb, LabelsComeFromTheModelTableAsStrings) {
    const std::string strings = tarnwel::page_strings("en");
    EXPECT_NE(strings.find("\"PrintDensity\" = \"Print density\";\n"), std::string::npos);
    EXPECT_NE(strings.find("\"PrintDensity.Dark\" = \"Darkest\";\n"), std::string::npos);
    EXPECT_NE(strings.find("\"PaperWeight.MediumHeavy\" = \"Thick (90-120 g/m²)\";\n"),
              std::string::npos);
    EXPECT_NE(strings.find("\"PaperWeight.VeryHeavy\" = \"Heavy (card stock, 120-163 g/m²)\";\n"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// The add-printer page, with and without printer discovery
// ---------------------------------------------------------------------------
TEST(AppWeb, AddPrinterPageSaysDiscoveryIsMissingAndTheServerGoesOn) {
    std::string why;
    if (!enter_private_network(why))
        SKIP_UNLESS_REQUIRED(why);
    ASSERT_EQ(access("/run/dbus/system_bus_socket", F_OK), -1)
        << "D-Bus runs in the test's own /run";
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    HttpReply page = http_request(app.port(), "/addprinter");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Printer discovery is not available: avahi-daemon is not running."),
              std::string::npos)
        << page.body;
    EXPECT_NE(page.body.find("tarnwel-printer-app add"), std::string::npos) << page.body;
    EXPECT_TRUE(app.alive()) << read_file(app.dir() + "/server.out");
    // The server still serves its pages and prints.
    EXPECT_EQ(http_request(app.port(), "/office/").status, 200);
    RunResult job =
        app.ipptool("print-plain.test", {{"format", "image/pwg-raster"}, {"jobname", "after"}},
                    letter_band_page());
    EXPECT_EQ(ipp_value(job.out, "job-state"), "completed") << job.out << app.log();
}

TEST(AppWeb, ListingDevicesWithoutAvahiAbortsNeitherServerNorCommand) {
    std::string why;
    if (!enter_private_network(why))
        SKIP_UNLESS_REQUIRED(why);
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // PAPPL's IPP operation that lists devices, as any client may send it.
    RunResult find =
        run_program({"ipptool", "-t", "-T", "60",
                     "ipp://127.0.0.1:" + std::to_string(app.port()) + "/ipp/system",
                     std::string(TARNWEL_SOURCE_DIR) + "/tests/app/find-devices.test"});
    EXPECT_EQ(find.status, 0) << find.out;
    EXPECT_TRUE(app.alive()) << read_file(app.dir() + "/server.out");
    // The command line's device list, which runs the same discovery itself.
    RunResult devices = app.command({"devices"});
    EXPECT_EQ(devices.status, 0) << devices.out;
    EXPECT_NE(devices.out.find("Unable to create service browser."), std::string::npos)
        << devices.out;
}

// With the system bus up and avahi-daemon down, PAPPL has a client that is
// not connected: every listing of devices fails to browse, and PAPPL 1.3.1
// would keep its DNS-SD lock each time, so that the next listing (and the
// server's shutdown) waited forever.
TEST(AppWeb, ListingDevicesWithTheBusButNoAvahiDoesNotWedgeTheServer) {
    std::string why;
    if (!enter_private_network(why))
        SKIP_UNLESS_REQUIRED(why);
    Discovery bus(false);
    ASSERT_EQ(access("/run/dbus/system_bus_socket", F_OK), 0) << bus.log();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    for (int i = 1; i <= 3; i++) {
        SCOPED_TRACE(i);
        RunResult find =
            run_program({"ipptool", "-t", "-T", "20",
                         "ipp://127.0.0.1:" + std::to_string(app.port()) + "/ipp/system",
                         std::string(TARNWEL_SOURCE_DIR) + "/tests/app/find-devices.test"});
        ASSERT_EQ(find.status, 0) << find.out;
    }
    RunResult devices = app.command({"devices"});
    EXPECT_EQ(devices.status, 0) << devices.out;
    EXPECT_EQ(http_request(app.port(), "/addprinter").status, 200);
    EXPECT_TRUE(app.alive()) << read_file(app.dir() + "/server.out");
}

TEST(AppWeb, AddPrinterPageOffersNetworkPrintersWhenAvahiRuns) {
    std::string why;
    if (!enter_private_network(why))
        SKIP_UNLESS_REQUIRED(why);
    Discovery discovery;
    ASSERT_TRUE(discovery.running()) << discovery.log();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    HttpReply page = http_request(app.port(), "/addprinter");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<option value=\"socket\">Network Printer</option>"),
              std::string::npos)
        << page.body;
    EXPECT_NE(page.body.find("<option value=\"tnml24p\">Tarnwel Mono Laser 24 Pro</option>"),
              std::string::npos)
        << page.body;
    EXPECT_EQ(page.body.find("not available"), std::string::npos) << page.body;
    EXPECT_TRUE(app.alive()) << read_file(app.dir() + "/server.out");
}

// ---------------------------------------------------------------------------
// A person's way through the pages, in Chromium
// ---------------------------------------------------------------------------
TEST(AppWebBrowser, DefaultsSetOnThePagePrintAndSurviveARestart) {
    std::string why = browser_missing();
    if (!why.empty())
        SKIP_UNLESS_REQUIRED(why);
    if (!enter_private_network(why))
        SKIP_UNLESS_REQUIRED(why);
    Discovery discovery;
    ASSERT_TRUE(discovery.running()) << discovery.log();
    // PAPPL 1.3.1's form takes a host name without a port (its pattern
    // refuses "host:port"), so the printer listens on the standard 9100, in
    // the test's own network, where no other program can hold it.
    SocketPrinter printer(9100);
    ASSERT_TRUE(printer.listening()) << strerror(errno);
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    const std::string base = "http://127.0.0.1:" + std::to_string(app.port());
    const std::string shots = std::string(TARNWEL_BINARY_DIR) + "/web-screenshots";
    mkdir(shots.c_str(), 0755);

    auto start = std::chrono::steady_clock::now();
    RunResult setup = browser({"setup", base, "frontdesk", "127.0.0.1", shots});
    ASSERT_EQ(setup.status, 0) << setup.out << app.log();
    auto browserTime = std::chrono::steady_clock::now() - start;
    std::cout << "The browser's steps took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(browserTime).count()
              << " ms; screenshots in " << shots << "\n";

    // A job that names neither density nor paper weight gets the defaults.
    const std::string page = letter_band_page();
    auto print_and_check = [&](const std::string& name) {
        size_t before = printer.jobs().size();
        RunResult job =
            app.ipptool("print-plain.test", {{"format", "image/pwg-raster"}, {"jobname", name}},
                        page, "", "frontdesk");
        ASSERT_EQ(ipp_value(job.out, "job-state"), "completed") << job.out << app.log();
        for (int i = 0; i < 100 && printer.jobs().size() == before; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::vector<std::string> jobs = printer.jobs();
        ASSERT_EQ(jobs.size(), before + 1);
        tarnwel::StreamJob decoded = decode_or_fail(jobs.back());
        EXPECT_EQ(decoded.density, 0) << "not the darkest density";
        EXPECT_EQ(decoded.paper_weight, 0) << "not card stock";
        EXPECT_EQ(decoded.pages.size(), 1u);
    };
    print_and_check("Welcome letter");
    // The printer's page, with that job in its list.
    RunResult shot = browser({"check", base, "frontdesk", shots});
    EXPECT_EQ(shot.status, 0) << shot.out << app.log();

    ASSERT_TRUE(app.restart()) << app.log();
    RunResult check = browser({"check", base, "frontdesk"});
    EXPECT_EQ(check.status, 0) << check.out << app.log();
    print_and_check("After the restart");
}
