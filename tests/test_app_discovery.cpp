// SPDX-License-Identifier: Apache-2.0
// Finding the printer on the network, as a phone, a laptop or cups-browsed
// finds it: by DNS-SD. The server runs as the packaged service runs it, in a
// network namespace with a D-Bus system bus and an avahi-daemon of its own
// ("tarnwel-print-server"); the client is a second namespace, joined by a
// veth pair, with its own bus and avahi-daemon ("tarnwel-laptop"), where
// avahi-browse looks for printers exactly as on a laptop.
//
// Making namespaces takes root and `ip`; without them the tests are
// skipped, and with TARNWEL_REQUIRE_WEB_TESTS=1 they fail instead.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "network_pair.h"
#include "test_util.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One service avahi-browse resolved: its TXT record as key -> value.
struct Service {
    std::string name, type, host, address, port;
    std::map<std::string, std::string> txt;
};

// The TXT field of `avahi-browse -p`: "key=value" "key=value" ...
std::map<std::string, std::string> parse_txt(const std::string& field) {
    std::map<std::string, std::string> txt;
    size_t at = 0;
    while ((at = field.find('"', at)) != std::string::npos) {
        size_t end = field.find('"', at + 1);
        if (end == std::string::npos)
            break;
        std::string item = field.substr(at + 1, end - at - 1);
        size_t eq = item.find('=');
        txt[item.substr(0, eq)] = eq == std::string::npos ? "" : item.substr(eq + 1);
        at = end + 1;
    }
    return txt;
}

// The values of an attribute that `ipptool -tv` displayed, as one string
// ("a,b,c").
std::string values(const std::string& ipptoolOutput, const std::string& name) {
    return ipp_value(ipptoolOutput, name);
}

class AppDiscovery : public ::testing::Test {
  protected:
    void SetUp() override {
        net_ = std::make_unique<NetworkPair>();
        if (!net_->ready())
            SKIP_UNLESS_REQUIRED(net_->why());
    }
    void TearDown() override {
        app_.reset();
        serverSide_.reset();
        clientSide_.reset();
        net_.reset();
    }

    // The server as the packaged service starts it, with DNS-SD; TLS off
    // when asked.
    bool start(bool tls = true) {
        serverSide_ = std::make_unique<Discovery>(net_->server, "tarnwel-print-server");
        clientSide_ = std::make_unique<Discovery>(net_->client, "tarnwel-laptop");
        EXPECT_TRUE(serverSide_->running()) << serverSide_->log();
        EXPECT_TRUE(clientSide_->running()) << clientSide_->log();
        AppServerOptions options;
        options.netns = net_->server;
        options.asService = true;
        options.environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + serverSide_->address());
        if (!tls)
            options.serverOptions.push_back("server-options=no-tls");
        app_ = std::make_unique<AppServer>("tnml20", options);
        return app_->running();
    }

    // What the laptop's avahi-browse finds of one type, resolved, by name.
    std::map<std::string, Service> browse(const std::string& type) const {
        RunResult r = run_program(
            in_netns(net_->client, {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + clientSide_->address(),
                                    "timeout", "20", "avahi-browse", "-rtpk", type}));
        std::map<std::string, Service> found;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("=;", 0) != 0)
                continue;
            std::vector<std::string> f;
            size_t at = 0;
            for (int i = 0; i < 9; i++) {
                size_t end = line.find(';', at);
                f.push_back(line.substr(at, end - at));
                at = end == std::string::npos ? line.size() : end + 1;
            }
            Service s{avahi_unescape(f[3]), f[4], f[6], f[7], f[8], parse_txt(line.substr(at))};
            found[s.name] = s;
        }
        return found;
    }

    // Waits up to `seconds` for a printer to be found (or, with `present`
    // false, to be gone); what was found last.
    std::map<std::string, Service> wait_for(const std::string& name, bool present,
                                            const std::string& type = "_ipp._tcp",
                                            int seconds = 20) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::map<std::string, Service> found;
        do {
            found = browse(type);
            if ((found.count(name) != 0) == present)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        } while (std::chrono::steady_clock::now() < deadline);
        return found;
    }

    // The printer's attributes as the laptop gets them.
    std::string attributes(const std::string& printer) const {
        return run_program(in_netns(net_->client,
                                    {"ipptool", "-tv", "-T", "30",
                                     "ipp://" + std::string(kServerAddress) + ":" +
                                         std::to_string(app_->port()) + "/ipp/print/" + printer,
                                     std::string(TARNWEL_SOURCE_DIR) +
                                         "/tests/app/printer-attributes.test"}))
            .out;
    }

    // avahi-browse -p escapes a service name's dots, backslashes and
    // separators as \DDD.
    static std::string avahi_unescape(const std::string& name) {
        std::string out;
        for (size_t i = 0; i < name.size(); i++) {
            if (name[i] == '\\' && i + 3 < name.size() &&
                isdigit(static_cast<unsigned char>(name[i + 1]))) {
                out += static_cast<char>(std::stoi(name.substr(i + 1, 3)));
                i += 3;
            } else {
                out += name[i];
            }
        }
        return out;
    }

    std::string log() const { return app_->log() + serverSide_->log() + clientSide_->log(); }

    std::unique_ptr<NetworkPair> net_;
    std::unique_ptr<Discovery> serverSide_, clientSide_;
    std::unique_ptr<AppServer> app_;
};

// The TXT record a client reads before it asks the printer anything: each
// key says what the printer's own attributes say.
void expect_txt_matches_attributes(const Service& s, const std::string& attrs, bool tls) {
    const std::string makeModel = values(attrs, "printer-make-and-model");
    ASSERT_FALSE(makeModel.empty()) << attrs;
    std::map<std::string, std::string> want = {
        {"rp", "ipp/print/" + s.name},
        {"ty", makeModel},
        {"product", "(" + makeModel + ")"},
        {"UUID", values(attrs, "printer-uuid").substr(9)},  // after "urn:uuid:"
        {"URF", values(attrs, "urf-supported")},
        {"Color", values(attrs, "color-supported") == "true" ? "T" : "F"},
        {"Duplex", contains(values(attrs, "sides-supported"), "two-sided-long-edge") ? "T" : "F"},
        {"kind", values(attrs, "printer-kind")},
        // Letter and A4 are its widest papers.
        {"PaperMax", "legal-A4"},
    };
    // Every format but the one that means "guess".
    std::string pdl;
    std::istringstream formats(values(attrs, "document-format-supported"));
    for (std::string f; std::getline(formats, f, ',');)
        if (f != "application/octet-stream")
            pdl += (pdl.empty() ? "" : ",") + f;
    want["pdl"] = pdl;
    for (const auto& [key, value] : want)
        EXPECT_EQ(s.txt.count(key) ? s.txt.at(key) : "(none)", value) << "TXT key " << key;
    for (const char* key : {"application/pdf", "image/pwg-raster", "image/urf"})
        EXPECT_TRUE(contains(pdl, key)) << pdl;
    EXPECT_TRUE(contains(s.txt.count("adminurl") ? s.txt.at("adminurl") : "", "/" + s.name + "/"));
    if (tls)
        EXPECT_EQ(s.txt.count("TLS") ? s.txt.at("TLS") : "(none)", "1.2");
    else
        EXPECT_EQ(s.txt.count("TLS"), 0u) << "a server without TLS says TLS=" << s.txt.at("TLS");
}

// A person adds a printer with the documented command (the server takes it
// by IPP Create-Printer, as from any client) while the server runs: the
// laptop finds it at once, with a TXT record true to the printer, over IPP
// and IPPS; a printer deleted leaves; and the printers are there again after
// a restart.
TEST_F(AppDiscovery, APrinterAddedWhileTheServerRunsIsFoundAndLeavesWhenDeleted) {
    ASSERT_TRUE(start()) << app_->log();
    // "office" was added by the `add` command after the server started.
    auto found = wait_for("office", true);
    ASSERT_EQ(found.count("office"), 1u) << "the laptop does not find the printer\n" << log();
    const Service& office = found.at("office");
    EXPECT_EQ(office.address, kServerAddress);
    EXPECT_EQ(office.port, std::to_string(app_->port()));
    const std::string attrs = attributes("office");
    expect_txt_matches_attributes(office, attrs, true);
    auto secure = wait_for("office", true, "_ipps._tcp");
    ASSERT_EQ(secure.count("office"), 1u) << "no IPPS service for a server with TLS\n" << log();
    EXPECT_EQ(secure.at("office").txt, office.txt);

    // A second printer, added the same way, is found too; deleted, it goes.
    RunResult add = app_->command({"add", "-d", "Front Desk", "-m", "tnml20", "-v",
                                   "file://" + app_->dir() + "/out?ext=prn"});
    ASSERT_EQ(add.status, 0) << add.out;
    found = wait_for("Front Desk", true);
    ASSERT_EQ(found.count("Front Desk"), 1u) << log();
    EXPECT_EQ(found.at("Front Desk").txt.at("rp"), "ipp/print/Front_Desk");
    RunResult del =
        app_->ipptool("delete-printer.test", {{"printerid", app_->printer_id("Front Desk")}});
    ASSERT_EQ(del.status, 0) << del.out;
    found = wait_for("Front Desk", false);
    EXPECT_EQ(found.count("Front Desk"), 0u) << "a deleted printer is still advertised";
    EXPECT_EQ(found.count("office"), 1u);

    // The printers it starts with are advertised as before.
    ASSERT_TRUE(app_->restart()) << app_->log();
    found = wait_for("office", true);
    EXPECT_EQ(found.count("office"), 1u) << log();
    EXPECT_EQ(found.count("Front Desk"), 0u);
}

// A server without TLS advertises no IPPS service and no TLS key: a client
// that prefers TLS would otherwise try TLS on a port that speaks none.
TEST_F(AppDiscovery, AServerWithoutTlsDoesNotAdvertiseIt) {
    ASSERT_TRUE(start(false)) << app_->log();
    auto found = wait_for("office", true);
    ASSERT_EQ(found.count("office"), 1u) << log();
    expect_txt_matches_attributes(found.at("office"), attributes("office"), false);
    EXPECT_EQ(browse("_ipps._tcp").count("office"), 0u);
}

}  // namespace
