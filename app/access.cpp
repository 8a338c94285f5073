// SPDX-License-Identifier: Apache-2.0
#include "access.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "pappl/dnssd.h"
#include "pappl/fixes.h"
#include "pappl/interpose.h"
#include "pappl/job_limits.h"
#include "server_settings.h"

namespace tarnwel {

// (Helpers of this file; the ones PAPPL's stand-ins use are in access.h.)

// The login of an Authorization: Basic header, if there is one.
bool basic_credentials(pappl_client_t* client, std::string& name, std::string& password) {
    const char* field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (!field || strncmp(field, "Basic ", 6) != 0)
        return false;
    field += 6;
    while (*field == ' ')
        field++;
    char decoded[512];
    int length = sizeof(decoded) - 1;
    httpDecode64_2(decoded, &length, field);
    if (length < 0 || length >= static_cast<int>(sizeof(decoded)))
        return false;
    decoded[length] = '\0';
    const char* colon = strchr(decoded, ':');
    if (!colon)
        return false;
    name.assign(decoded, static_cast<size_t>(colon - decoded));
    password = colon + 1;
    return true;
}

bool same(const std::string& a, const std::string& b) {
    // Time that does not tell how much of a hash matched.
    unsigned char diff = a.size() != b.size();
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// The password file, at most this long: a few logins, never a document.
constexpr std::streamsize kMaxPasswordFile = 64 * 1024;

bool read_small_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::vector<char> buffer(kMaxPasswordFile + 1);
    in.read(buffer.data(), kMaxPasswordFile + 1);
    if (in.gcount() > kMaxPasswordFile)
        return false;
    text.assign(buffer.data(), static_cast<size_t>(in.gcount()));
    return true;
}

// The remote administration page when no login is configured.
void remote_admin_off_page(pappl_client_t* client) {
    if (!papplClientRespond(client, HTTP_STATUS_FORBIDDEN, nullptr, "text/html", 0, 0))
        return;
    papplClientHTMLHeader(client, "Remote administration is turned off", 0);
    papplClientHTMLPuts(
        client,
        "    <div class=\"content\">\n"
        "      <div class=\"row\">\n"
        "        <div class=\"col-12\">\n"
        "          <h1 class=\"title\">Remote administration is turned off</h1>\n"
        "          <p>This printer application is administered from the machine it runs on. "
        "Everyone on the network may print to its printers.</p>\n"
        "          <p>To administer it from other machines too, give it a login on the machine "
        "it runs on:</p>\n"
        "          <pre>sudo tarnwel-printer-app passwd</pre>\n"
        "          <p>The system service reads that login from "
        "<code>/etc/tarnwel-printer-app/passwd</code> at once; a server started by hand reads "
        "the file its option <code>-o admin-password-file=FILE</code> names. Then open this "
        "page again over <code>https://</code> and log in.</p>\n"
        "        </div>\n"
        "      </div>\n"
        "    </div>\n");
    papplClientHTMLFooter(client);
}

// Answers a web page request that administration refused.
void refuse_page(pappl_client_t* client, http_status_t status) {
    if (status == HTTP_STATUS_FORBIDDEN)
        remote_admin_off_page(client);
    else
        // 426 to a GET becomes PAPPL's redirect to the same page over HTTPS;
        // 401 asks for the login.
        papplClientRespond(client, status, nullptr, nullptr, 0, 0);
}

// The user a request speaks for: the login, or requesting-user-name.
std::string requesting_user(pappl_client_t* client) {
    if (const char* login = papplClientGetUsername(client))
        return login;
    ipp_attribute_t* attr =
        ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME);
    const char* name = attr ? ippGetString(attr, 0, nullptr) : nullptr;
    return name ? name : "";
}

bool owns_job(pappl_client_t* client, pappl_job_t* job) {
    const char* owner = papplJobGetUsername(job);
    return owner && requesting_user(client) == owner;
}

// Whether the client is an administrator, for showing it other people's
// jobs: a local client, or one that sent a right login with its request.
bool sees_all_jobs(pappl_client_t* client) {
    if (client_is_local(client))
        return true;
    std::string name, password;
    return httpIsEncrypted(papplClientGetHTTP(client)) &&
           basic_credentials(client, name, password) &&
           check_login(server_settings().passwordFile, name, password);
}

// What a client sees of other people's jobs: their state and size, not
// their names, owners and documents.
const char* const kPrivateJobAttributes[] = {
    "job-name",
    "job-originating-user-name",
    "job-originating-user-uri",
    "job-originating-host-name",
    "document-name-supplied",
    "job-printer-state-message",
};

bool is_private(const char* name) {
    for (const char* p : kPrivateJobAttributes)
        if (name && strcmp(name, p) == 0)
            return true;
    return false;
}

// Removes what names other people from an answer, for a client that is not
// an administrator: the private attributes of another user's job (Get-Jobs,
// Get-Job-Attributes) and of the events of another user's job
// (Get-Notifications), and the owner of another user's subscription. A
// group whose owner cannot be told is another person's.
void hide_other_peoples(pappl_client_t* client) {
    ipp_t* response = papplClientGetResponse(client);
    if (!response)
        return;
    pappl_printer_t* printer = papplClientGetPrinter(client);
    const std::string me = requesting_user(client);
    std::vector<ipp_attribute_t*> remove, group;
    ipp_tag_t tag = IPP_TAG_ZERO;
    auto end_group = [&] {
        std::string owner;  // empty: not known
        int jobId = 0;
        for (ipp_attribute_t* a : group) {
            const std::string name = ippGetName(a);
            if (tag == IPP_TAG_JOB && name == "job-id") {
                jobId = ippGetInteger(a, 0);
            } else if (tag == IPP_TAG_JOB && name == "job-uri" && !jobId) {
                const char* uri = ippGetString(a, 0, nullptr);
                const char* slash = uri ? strrchr(uri, '/') : nullptr;
                jobId = slash ? atoi(slash + 1) : 0;
            } else if ((tag == IPP_TAG_EVENT_NOTIFICATION && name == "job-originating-user-name") ||
                       (tag == IPP_TAG_SUBSCRIPTION && name == "notify-subscriber-user-name")) {
                const char* value = ippGetString(a, 0, nullptr);
                owner = value ? value : "";
            }
        }
        if (tag == IPP_TAG_JOB) {
            pappl_job_t* job = printer && jobId > 0 ? papplPrinterFindJob(printer, jobId) : nullptr;
            const char* username = job ? papplJobGetUsername(job) : nullptr;
            owner = username ? username : "";
        }
        if (owner.empty() || owner != me)
            for (ipp_attribute_t* a : group)
                if (is_private(ippGetName(a)) ||
                    (tag == IPP_TAG_SUBSCRIPTION &&
                     strcmp(ippGetName(a), "notify-subscriber-user-name") == 0))
                    remove.push_back(a);
        group.clear();
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        // (A nameless attribute parts two groups of the same kind.)
        if (ippGetGroupTag(a) != tag || !ippGetName(a)) {
            end_group();
            tag = ippGetGroupTag(a);
        }
        if (ippGetName(a))
            group.push_back(a);
    }
    end_group();
    for (ipp_attribute_t* a : remove)
        ippDeleteAttribute(response, a);
}

// The answers that name jobs, their owners and subscribers.
bool names_people(ipp_op_t op) {
    return op == IPP_OP_GET_JOBS || op == IPP_OP_GET_JOB_ATTRIBUTES ||
           op == IPP_OP_GET_NOTIFICATIONS || op == IPP_OP_GET_SUBSCRIPTIONS ||
           op == IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES;
}

// Operations on a printer that PAPPL lets every client do but that act on
// everyone's work: administration here.
bool printer_wide(ipp_op_t op) {
    return op == IPP_OP_CANCEL_CURRENT_JOB || op == IPP_OP_DISABLE_PRINTER ||
           op == IPP_OP_ENABLE_PRINTER;
}

// Operations on one job that only its owner (or an administrator) may do.
bool owners_only(ipp_op_t op) {
    return op == IPP_OP_CANCEL_JOB || op == IPP_OP_HOLD_JOB || op == IPP_OP_RELEASE_JOB ||
           op == IPP_OP_CLOSE_JOB || op == IPP_OP_SEND_DOCUMENT || op == IPP_OP_SEND_URI ||
           op == IPP_OP_SET_JOB_ATTRIBUTES || op == IPP_OP_RESTART_JOB ||
           op == IPP_OP_CANCEL_DOCUMENT;
}

// Refuses a request that needs administration, for an IPP client: a login
// the client can still give is asked for (426, then 401); with none to give,
// the refusal says why in words.
bool refuse_ipp(pappl_client_t* client, http_status_t status, const std::string& why) {
    if (status == HTTP_STATUS_FORBIDDEN)
        papplClientRespondIPP(client, IPP_STATUS_ERROR_FORBIDDEN, "%s", why.c_str());
    else
        papplClientRespond(client, status, nullptr, nullptr, 0, 0);
    return false;
}

// A subscription ended or kept by someone other than its owner, who is
// not an administrator: refused (PAPPL 1.3.1 lets anyone cancel or renew
// anyone's subscription). True when the request may go on.
bool subscription_allowed(pappl_client_t* client) {
    ipp_t* request = papplClientGetRequest(client);
    ipp_op_t op = ippGetOperation(request);
    if (op != IPP_OP_CANCEL_SUBSCRIPTION && op != IPP_OP_RENEW_SUBSCRIPTION)
        return true;
    ipp_attribute_t* id = ippFindAttribute(request, "notify-subscription-id", IPP_TAG_INTEGER);
    pappl_subscription_t* sub =
        id ? papplSystemFindSubscription(papplClientGetSystem(client), ippGetInteger(id, 0))
           : nullptr;
    const char* owner = sub ? papplSubscriptionGetUsername(sub) : nullptr;
    if (!sub || (owner && requesting_user(client) == owner))
        return true;  // (PAPPL answers for one that is not there)
    http_status_t status = admin_status(client);
    if (status == HTTP_STATUS_CONTINUE)
        return true;
    return refuse_ipp(client, status,
                      "Subscription " + std::to_string(ippGetInteger(id, 0)) +
                          " belongs to another user: only its owner or an administrator may do "
                          "that.");
}

// PAPPL's handling of a request, with the subscription check before and
// other people's names taken out of the answer after.
void process_ipp(pappl_client_t* client, void (*papplOwn)(pappl_client_t*)) {
    if (!subscription_allowed(client))
        return;
    papplOwn(client);
    if (names_people(ippGetOperation(papplClientGetRequest(client))) && !sees_all_jobs(client))
        hide_other_peoples(client);
}

namespace {

// Whether the Host a request names is this machine as a program on it names
// it: "localhost", a loopback address, or the server's own host name.
// PAPPL 1.3.1 takes any name that starts with a digit or ends in .local, so
// a page from elsewhere whose name a browser here was made to resolve to
// 127.0.0.1 (DNS rebinding) would otherwise be the local side
// (AppNetwork.APageThatRebindsItsNameToThisMachineIsAStranger).
bool names_this_machine(pappl_client_t* client) {
    std::string host = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_HOST);
    // Without its port, its brackets and a final dot.
    if (!host.empty() && host[0] == '[') {
        size_t end = host.find(']');
        host = end == std::string::npos ? "" : host.substr(1, end - 1);
    } else if (size_t colon = host.rfind(':'); colon != std::string::npos) {
        host.erase(colon);
    }
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    char own[256] = "";
    papplSystemGetHostName(papplClientGetSystem(client), own, sizeof(own));
    std::string ownName = own;
    if (!ownName.empty() && ownName.back() == '.')
        ownName.pop_back();
    return strcasecmp(host.c_str(), "localhost") == 0 ||
           (!ownName.empty() && strcasecmp(host.c_str(), ownName.c_str()) == 0);
}

}  // namespace

bool client_is_local(pappl_client_t* client) {
    http_addr_t* addr = httpGetAddress(papplClientGetHTTP(client));
    if (!addr)
        return false;
    if (httpAddrFamily(addr) == AF_LOCAL)
        return true;  // the control socket: no browser reaches it
    return httpAddrLocalhost(addr) && names_this_machine(client);
}

bool check_login(const std::string& file, const std::string& name, const std::string& password) {
    if (file.empty() || name.empty())
        return false;
    std::string text;
    if (!read_small_file(file, text))
        return false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || line.compare(0, colon, name) != 0 || colon != name.size())
            continue;
        std::string hash = line.substr(colon + 1);
        if (hash.empty() || hash[0] == '!' || hash[0] == '*')
            return false;  // a locked login
        struct crypt_data data;
        memset(&data, 0, sizeof(data));
        const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
        return computed && computed[0] != '*' && same(computed, hash);
    }
    return false;
}

http_status_t admin_status(pappl_client_t* client) {
    if (client_is_local(client))
        return HTTP_STATUS_CONTINUE;
    if (!httpIsEncrypted(papplClientGetHTTP(client)))
        return HTTP_STATUS_UPGRADE_REQUIRED;
    const std::string& file = server_settings().passwordFile;
    if (file.empty() || access(file.c_str(), F_OK) != 0)
        return HTTP_STATUS_FORBIDDEN;
    std::string name, password;
    if (!basic_credentials(client, name, password))
        return HTTP_STATUS_UNAUTHORIZED;
    if (!check_login(file, name, password)) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Login of \"%s\" refused.", name.c_str());
        return HTTP_STATUS_UNAUTHORIZED;
    }
    papplClientSetUsername(client, name.c_str());
    return HTTP_STATUS_CONTINUE;
}

std::string device_refusal(const char* uri) {
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    if (!uri || httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass,
                                sizeof(userpass), host, sizeof(host), &port, resource,
                                sizeof(resource)) < HTTP_URI_STATUS_OK)
        return "";  // PAPPL refuses what it cannot read
    if (strcasecmp(scheme, "file") != 0)
        return "";
    // PAPPL 1.3.1 opens the path it reads into buffers of these sizes,
    // cut short where it does not fit and unchecked: the path checked here
    // must be the one it opens (AppNetwork.FileDevicesWriteOnlyIntoTheFolderTheServerNames).
    {
        char s2[32], u2[32], h2[256], r2[256];
        int p2 = 0;
        if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, s2, sizeof(s2), u2, sizeof(u2), h2,
                            sizeof(h2), &p2, r2, sizeof(r2)) < HTTP_URI_STATUS_OK ||
            strcmp(r2, resource) != 0)
            return "The device " + std::string(uri) +
                   " is too long: the path of a file: "
                   "device (with its ?ext=) may have at most " +
                   std::to_string(sizeof(r2) - 1) + " characters.";
    }
    const ServerSettings& s = server_settings();
    if (s.fileDeviceDirectory.empty())
        return "file: devices are turned off: the printer application writes into a folder only "
               "when it is started with -o file-device-directory=FOLDER.";
    if (char* options = strchr(resource, '?'))
        *options = '\0';
    // The path as the file system resolves it: through every link, and for
    // a file that is not there yet, through its folder's.
    std::string path = resource, real;
    if (char* r = realpath(path.c_str(), nullptr)) {
        real = r;
        free(r);
    } else {
        size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        char* r2 = realpath(folder.c_str(), nullptr);
        if (r2 && leaf != ".." && leaf != ".")
            real = std::string(r2) + "/" + leaf;
        free(r2);
    }
    auto within = path_within;
    if (real.empty() || !within(real, s.fileDeviceDirectory))
        return "The device " + std::string(uri) +
               " is outside the folder file: devices may write into (" + s.fileDeviceDirectory +
               ").";
    for (const std::string& p : s.privateFolders)
        if (within(real, p) || within(p, real))
            return "The device " + std::string(uri) +
                   " would reach the printer application's own files (" + p + ").";
    return "";
}

int password_subcommand(const char* baseName, int numOptions, cups_option_t* options, int numFiles,
                        char**, void*) {
    const char* file = cupsGetOption("admin-password-file", numOptions, options);
    if (!file)
        file = "/etc/tarnwel-printer-app/passwd";
    const char* login = cupsGetOption("login", numOptions, options);
    if (!login)
        login = "admin";
    if (numFiles != 0 || !*login || strchr(login, ':') || strchr(login, '\n')) {
        fprintf(stderr, "Usage: %s passwd [-o login=NAME] [-o admin-password-file=FILE]\n",
                baseName);
        return 1;
    }
    const std::string name = login;
    auto ask = [&](const char* prompt) {
        std::string line;
        bool tty = isatty(STDIN_FILENO);
        struct termios saved, quiet;
        if (tty) {
            fprintf(stderr, "%s", prompt);
            tcgetattr(STDIN_FILENO, &saved);
            quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
        std::getline(std::cin, line);
        if (tty) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
            fprintf(stderr, "\n");
        }
        return line;
    };
    std::string password = ask("Password: ");
    if (isatty(STDIN_FILENO) && ask("Password again: ") != password) {
        fprintf(stderr, "%s: The passwords differ.\n", baseName);
        return 1;
    }
    if (password.size() < 8) {
        fprintf(stderr, "%s: A password needs at least 8 characters.\n", baseName);
        return 1;
    }
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    struct crypt_data data;
    memset(&data, 0, sizeof(data));
    // The system's preferred hash (yescrypt on Debian).
    const char* hash = crypt_gensalt_rn(nullptr, 0, nullptr, 0, salt, sizeof(salt))
                           ? crypt_r(password.c_str(), salt, &data)
                           : nullptr;
    if (!hash || hash[0] == '*') {
        fprintf(stderr, "%s: Unable to hash the password: %s\n", baseName, strerror(errno));
        return 1;
    }
    // The other logins stay; the file is replaced whole, with the owner and
    // mode it had, or, new, readable by the group of its folder (the
    // service's).
    std::string text, kept;
    if (!read_small_file(file, text) && access(file, F_OK) == 0) {
        fprintf(stderr,
                "%s: Unable to read the logins in \"%s\" (it is larger than %d KB or "
                "cannot be read); it was left as it is.\n",
                baseName, file, static_cast<int>(kMaxPasswordFile / 1024));
        return 1;
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, name.size() + 1, name + ":") != 0 && !line.empty())
            kept += line + "\n";
    kept += name + ":" + hash + "\n";
    struct stat st;
    bool existed = stat(file, &st) == 0;
    if (!existed) {
        std::string folder = file;
        folder = folder.substr(0, folder.find_last_of('/') + 1);
        struct stat dir;
        st.st_mode = 0640;
        st.st_uid = getuid();
        st.st_gid = stat(folder.empty() ? "." : folder.c_str(), &dir) == 0 ? dir.st_gid : getgid();
    }
    const std::string temp = std::string(file) + ".new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0 && write(fd, kept.data(), kept.size()) == static_cast<ssize_t>(kept.size());
    if (fd >= 0) {
        // (Only root can give the file away; another user keeps it.)
        if (ok && getuid() == 0)
            ok = fchown(fd, st.st_uid, st.st_gid) == 0;
        ok = ok && fchmod(fd, st.st_mode & 0640) == 0 && fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
    }
    if (!ok || rename(temp.c_str(), file) != 0) {
        fprintf(stderr, "%s: Unable to write %s: %s\n", baseName, file, strerror(errno));
        unlink(temp.c_str());
        return 1;
    }
    printf("The login \"%s\" is set in %s.\n", name.c_str(), file);
    return 0;
}

}  // namespace tarnwel
