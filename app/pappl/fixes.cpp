// SPDX-License-Identifier: Apache-2.0
#include "pappl/fixes.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "access.h"
#include "models.h"
#include "pappl/interpose.h"
#include "pappl/request_watch.h"
#include "server_settings.h"
#include "web.h"

namespace tarnwel {

namespace {

// ---------------------------------------------------------------------------
// A printer that does not answer
// ---------------------------------------------------------------------------

// What PAPPL is doing with a device, by URI: seen by wrapping its
// papplDeviceOpen() below.
struct DeviceWatch {
    int opening = 0;       // opens in progress
    bool failing = false;  // the last open failed
};
// (Never destroyed: PAPPL's job threads may still open devices while the
// program exits.)
std::mutex devicesLock;
std::map<std::string, DeviceWatch>& devices = *new std::map<std::string, DeviceWatch>;

DeviceWatch device_watch(const char* uri) {
    std::lock_guard<std::mutex> guard(devicesLock);
    auto it = devices.find(uri ? uri : "");
    return it == devices.end() ? DeviceWatch() : it->second;
}

// While PAPPL cannot open a printer's device it keeps the job processing,
// retries every 5 seconds and shows the printer as stopped, which clients
// read as "paused" by an operator. A printer whose last open failed while
// one of its jobs is processing is one that PAPPL is waiting for.
void find_processing_job(pappl_job_t* job, void* data) {
    auto* found = static_cast<pappl_job_t**>(data);
    if (!*found && papplJobGetState(job) == IPP_JSTATE_PROCESSING)
        *found = job;
}

void check_printer(pappl_printer_t* printer, void*) {
    const char* uri = papplPrinterGetDeviceURI(printer);  // takes no lock
    const DeviceWatch device = device_watch(uri);
    // PAPPL holds the printer's lock while it opens the device, and a
    // connection to a host that is gone may take 30 seconds: the printer is
    // looked at on a later round, and the server's main loop, which runs
    // this, goes on serving.
    if (device.opening)
        return;
    pappl_job_t* waiting = nullptr;
    if (device.failing)
        papplPrinterIterateActiveJobs(printer, find_processing_job, &waiting, 1, 0);
    const bool offline = papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE;
    if (!waiting) {
        if (offline)
            papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
        return;
    }
    if (!offline) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                        "The printer at %s does not answer: it may be switched off or "
                        "disconnected. Its jobs wait until it answers.",
                        uri);
        papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    }
    if (!(papplJobGetReasons(waiting) & PAPPL_JREASON_PRINTER_STOPPED)) {
        papplJobSetMessage(waiting,
                           "The printer at %s does not answer: it may be switched off or "
                           "disconnected. The job waits and prints when it answers.",
                           uri);
        papplJobSetReasons(waiting, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
    }
}

bool watch_printers(pappl_system_t* system, void*) {
    papplSystemIteratePrinters(system, check_printer, nullptr);
    return true;
}

// ---------------------------------------------------------------------------
// Printer defaults a client sends
// ---------------------------------------------------------------------------
bool size_fits(int width, int length) {
    // pwgMediaForPWG() answers a size it parses from the name in a buffer
    // of the thread's, the next call's too: the numbers are kept at once.
    struct Range {
        int minWidth = 0, minLength = 0, maxWidth = -1, maxLength = -1;
    };
    static const Range range = [] {
        Range r;
        if (pwg_media_t* smallest = pwgMediaForPWG(kCustomMin)) {
            r.minWidth = smallest->width;
            r.minLength = smallest->length;
        }
        if (pwg_media_t* largest = pwgMediaForPWG(kCustomMax)) {
            r.maxWidth = largest->width;
            r.maxLength = largest->length;
        }
        return r;
    }();
    return width >= range.minWidth && width <= range.maxWidth && length >= range.minLength &&
           length <= range.maxLength;
}

bool size_name_fits(const char* name) {
    pwg_media_t* pwg = name ? pwgMediaForPWG(name) : nullptr;
    return pwg && size_fits(pwg->width, pwg->length);
}

std::string bad_media_col(ipp_t* col) {
    ipp_attribute_t* sizeName = ippFindAttribute(col, "media-size-name", IPP_TAG_ZERO);
    ipp_attribute_t* size = ippFindAttribute(col, "media-size", IPP_TAG_ZERO);
    if (sizeName) {
        const char* name = ippGetString(sizeName, 0, nullptr);
        if (!size_name_fits(name))
            return "The paper size \"" + std::string(name ? name : "") +
                   "\" is not one the printer takes.";
    } else if (size) {
        ipp_t* dims = ippGetCollection(size, 0);
        ipp_attribute_t* x =
            dims ? ippFindAttribute(dims, "x-dimension", IPP_TAG_INTEGER) : nullptr;
        ipp_attribute_t* y =
            dims ? ippFindAttribute(dims, "y-dimension", IPP_TAG_INTEGER) : nullptr;
        if (!x || !y)
            return "The paper size has no x-dimension and y-dimension.";
        if (!size_fits(ippGetInteger(x, 0), ippGetInteger(y, 0)))
            return "A paper of " + std::to_string(ippGetInteger(x, 0)) + " x " +
                   std::to_string(ippGetInteger(y, 0)) +
                   " hundredths of a millimetre is not one the printer takes.";
    }
    if (ipp_attribute_t* type = ippFindAttribute(col, "media-type", IPP_TAG_ZERO)) {
        const char* value = ippGetString(type, 0, nullptr);
        if (!known_media_type(value))
            return "The media type \"" + std::string(value ? value : "") +
                   "\" is not one the printer offers.";
    }
    if (ipp_attribute_t* source = ippFindAttribute(col, "media-source", IPP_TAG_ZERO)) {
        const char* value = ippGetString(source, 0, nullptr);
        if (!value || strcmp(value, "main") != 0)
            return "The paper source \"" + std::string(value ? value : "") +
                   "\" is not the printer's (\"main\").";
    }
    return "";
}

std::string bad_range(ipp_attribute_t* attr, int low, int high) {
    for (int i = 0; i < ippGetCount(attr); i++) {
        int v = ippGetInteger(attr, i);
        if (v < low || v > high)
            return std::string(ippGetName(attr)) + " " + std::to_string(v) + " is not within " +
                   std::to_string(low) + " to " + std::to_string(high) + ".";
    }
    return "";
}

}  // namespace

namespace {

// The finished jobs a printer keeps: PAPPL's own number for a running
// printer (papplPrinterGetMaxCompletedJobs).
constexpr size_t kKeptFinishedJobs = 100;

// The value of name="value" in a line of PAPPL's state file, or "".
std::string state_value(const std::string& line, const std::string& name) {
    size_t at = line.find(" " + name + "=\"");
    if (at == std::string::npos)
        return "";
    at += name.size() + 3;
    size_t end = line.find('"', at);
    return end == std::string::npos ? "" : line.substr(at, end - at);
}

}  // namespace

bool load_state(pappl_system_t* system, const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return papplSystemLoadState(system, path.c_str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    in.close();

    // (printer id, job id) of each job cut off, and of each whose document
    // is gone
    std::vector<std::pair<int, int>> cut, lost;
    const std::string now = std::to_string(time(nullptr));
    // The finished jobs of the printer being read: (completed, id, line).
    std::vector<std::tuple<long, int, size_t>> finished;
    std::vector<bool> dropped(lines.size(), false);
    std::string printerId;
    bool changed = false;
    auto trim = [&] {
        // The newest ones stay, as many as PAPPL keeps of a running
        // printer; the rest go, with their documents.
        if (finished.size() <= kKeptFinishedJobs) {
            finished.clear();
            return;
        }
        std::sort(finished.begin(), finished.end());
        for (size_t i = 0; i + kKeptFinishedJobs < finished.size(); i++) {
            size_t at = std::get<2>(finished[i]);
            dropped[at] = true;
            std::string file = state_value(lines[at], "filename");
            if (!file.empty() && path_within(file, server_settings().spoolDirectory))
                unlink(file.c_str());
        }
        changed = true;
        finished.clear();
    };
    for (size_t i = 0; i < lines.size(); i++) {
        std::string& line = lines[i];
        if (line.compare(0, 9, "<Printer ") == 0) {
            trim();
            printerId = state_value(line, "id");
        }
        if (line.compare(0, 4, "Job ") != 0)
            continue;
        // PAPPL writes a job's state as its IPP enum: 3 pending, 4 held,
        // 5 processing, 6 stopped, 7 canceled, 8 aborted, 9 completed.
        const std::string state = state_value(line, "state");
        const std::string file = state_value(line, "filename");
        struct stat st;
        const bool waiting = state == "3" || state == "4" || state == "6";
        // A waiting job whose document is gone: PAPPL 1.3.1 would mark it
        // aborted but keep it apart from the finished jobs, where nothing
        // ever removes it.
        const bool noDocument = waiting && (file.empty() || stat(file.c_str(), &st) != 0);
        if (state == "5" || noDocument) {
            size_t at = line.find(" state=\"" + state + "\"");
            line.replace(at, 10, " state=\"8\"");
            if (state_value(line, "completed").empty())
                line += " completed=\"" + now + "\"";
            (state == "5" ? cut : lost)
                .emplace_back(atoi(printerId.c_str()), atoi(state_value(line, "id").c_str()));
            changed = true;
        }
        const std::string newState = state_value(line, "state");
        if (newState == "7" || newState == "8" || newState == "9")
            finished.emplace_back(atol(state_value(line, "completed").c_str()),
                                  atoi(state_value(line, "id").c_str()), i);
    }
    trim();
    if (!changed)
        return papplSystemLoadState(system, path.c_str());
    std::ostringstream fixed;
    for (size_t i = 0; i < lines.size(); i++)
        if (!dropped[i])
            fixed << lines[i] << '\n';

    // PAPPL reads the state from a file only: the mended copy is one of its
    // own beside the state, removed once read.
    const std::string copy = path + ".load";
    bool written = false;
    {
        unlink(copy.c_str());
        int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const std::string text = fixed.str();
        written =
            fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0)
            close(fd);
    }
    bool loaded = papplSystemLoadState(system, (written ? copy : path).c_str());
    unlink(copy.c_str());
    if (!written)
        return loaded;
    for (const auto& [printerId, jobId] : cut) {
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
        pappl_job_t* job = printer ? papplPrinterFindJob(printer, jobId) : nullptr;
        if (!job)
            continue;
        papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                    "The server stopped while the job was printing: it is not printed again.");
        papplJobSetMessage(job,
                           "The printer application stopped while the job was printing; "
                           "the job may not have printed to the end. Print it again.");
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    }
    for (const auto& [printerId, jobId] : lost) {
        pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printerId, nullptr);
        pappl_job_t* job = printer ? papplPrinterFindJob(printer, jobId) : nullptr;
        if (!job)
            continue;
        papplJobSetMessage(job,
                           "The job's document was lost when the printer application stopped; "
                           "print it again.");
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    }
    return loaded;
}

void watch_unreachable_printers(pappl_system_t* system) {
    papplSystemAddTimerCallback(system, 0, 1, watch_printers, nullptr);
}

void printer_answers(pappl_job_t* job) {
    pappl_printer_t* printer = papplJobGetPrinter(job);
    if (printer && (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE))
        papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
    if (papplJobGetReasons(job) & PAPPL_JREASON_PRINTER_STOPPED) {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The printer answers again.");
        papplJobSetMessage(job, "The printer answers again; the job prints.");
        papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
    }
}

std::string bad_printer_default(ipp_attribute_t* attr) {
    const char* name = ippGetName(attr);
    if (!name)
        return "";
    const std::string n = name;
    if (n == "media-col-default" || n == "media-col-ready") {
        for (int i = 0; i < ippGetCount(attr); i++) {
            ipp_t* col = ippGetCollection(attr, i);
            std::string why = col ? bad_media_col(col) : "An empty " + n + " value.";
            if (!why.empty())
                return why;
        }
    } else if (n == "media-default" || n == "media-ready") {
        for (int i = 0; i < ippGetCount(attr); i++) {
            const char* value = ippGetString(attr, i, nullptr);
            if (!size_name_fits(value))
                return "The paper size \"" + std::string(value ? value : "") +
                       "\" is not one the printer takes.";
        }
    } else if (n == "print-darkness-default") {
        return bad_range(attr, -100, 100);
    } else if (n == "printer-darkness-configured") {
        return bad_range(attr, 0, 100);
    } else if (n == "orientation-requested-default") {
        return bad_range(attr, IPP_ORIENT_PORTRAIT, IPP_ORIENT_NONE);
    } else if (n == "print-quality-default") {
        return bad_range(attr, IPP_QUALITY_DRAFT, IPP_QUALITY_HIGH);
    }
    return "";
}

std::string inexact_job_attribute(ipp_attribute_t* attr) {
    const char* name = ippGetName(attr);
    if (!name)
        return "";
    const std::string n = name;
    if (n == "media") {
        const char* value = ippGetString(attr, 0, nullptr);
        bool known = false;
        for (size_t i = 0; i < kNumMediaSizes; i++)
            known = known || (value && strcmp(value, kMediaSizes[i].pwgName) == 0);
        if (!known)
            return "The paper size \"" + std::string(value ? value : "") +
                   "\" is not one the printer takes.";
    } else if (n == "media-col") {
        ipp_t* col = ippGetCollection(attr, 0);
        return col ? bad_media_col(col) : "An empty media-col value.";
    } else if (n == "orientation-requested") {
        return bad_range(attr, IPP_ORIENT_PORTRAIT, IPP_ORIENT_NONE);
    } else if (n == "job-sheets") {
        const char* value = ippGetString(attr, 0, nullptr);
        if (!value || strcmp(value, "none") != 0)
            return "The printer prints no banner pages (job-sheets).";
    } else if (n == "print-color-mode") {
        const char* value = ippGetString(attr, 0, nullptr);
        if (!value || (strcmp(value, "monochrome") != 0 && strcmp(value, "auto") != 0))
            return "The printer prints in black only (print-color-mode).";
    }
    return "";
}

}  // namespace tarnwel

namespace tarnwel {

// Why the printer cannot print the document a request offers, or empty.
// PAPPL 1.3.1 looks for document-format-supported among attributes where it
// never is, and takes every format; a job of one it cannot print aborts
// later with "Job aborted." (AppFormats.AFormatThePrinterDoesNotPrintIsRefused).
// A document sent as application/octet-stream is what PAPPL made of its first
// bytes, if anything.
std::string unprintable_format(ipp_t* request) {
    static const char* const kPrintable[] = {"application/pdf", "image/jpeg", "image/png",
                                             "image/pwg-raster", "image/urf"};
    const char* given =
        ippGetString(ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE), 0, nullptr);
    const char* detected = ippGetString(
        ippFindAttribute(request, "document-format-detected", IPP_TAG_MIMETYPE), 0, nullptr);
    const char* format = detected ? detected : given;
    const ipp_op_t op = ippGetOperation(request);
    const bool document = op == IPP_OP_PRINT_JOB || op == IPP_OP_SEND_DOCUMENT;
    const std::string prints =
        "the printer prints PDF, JPEG, PNG, PWG raster and Apple raster (URF) documents.";
    if (!format || strcmp(format, "application/octet-stream") == 0)
        return document ? "The kind of the document cannot be told from its first bytes; " + prints
                        : "";
    for (const char* printable : kPrintable)
        if (strcasecmp(format, printable) == 0)
            return "";
    return std::string("The printer does not print ") + format + " documents; " + prints;
}

namespace {

// libcups 2.4's list of the printer-description group, which PAPPL asks
// what a group holds, lacks printer-strings-uri and
// printer-strings-languages-supported: a client that asks for the group (as
// libcups's own cupsCopyDestInfo, for every print dialog, does) never learns
// where the printer's words in its language are. They are added as PAPPL
// adds them for a request of all attributes.
void add_printer_strings(pappl_client_t* client, ipp_t* request, ipp_t* response) {
    ipp_attribute_t* asked = ippFindAttribute(request, "requested-attributes", IPP_TAG_KEYWORD);
    bool group = false;
    for (int i = 0; i < ippGetCount(asked); i++)
        group = group || strcmp(ippGetString(asked, i, nullptr), "printer-description") == 0;
    if (!group || ippFindAttribute(response, "printer-strings-uri", IPP_TAG_ZERO))
        return;
    const char* languages[kNumLanguages];
    for (size_t i = 0; i < kNumLanguages; i++)
        languages[i] = kLanguages[i];
    if (!ippFindAttribute(response, "printer-strings-languages-supported", IPP_TAG_ZERO))
        ippAddStrings(response, IPP_TAG_PRINTER, IPP_TAG_LANGUAGE,
                      "printer-strings-languages-supported", static_cast<int>(kNumLanguages),
                      nullptr, languages);
    const char* lang = ippGetString(
        ippFindAttribute(request, "attributes-natural-language", IPP_TAG_LANGUAGE), 0, nullptr);
    const std::string base = std::string(lang ? lang : "en").substr(0, 2);
    for (size_t i = 0; i < kNumLanguages; i++) {
        if (base != kLanguages[i])
            continue;
        // The scheme and host PAPPL gives its own URIs.
        const char* scheme = httpAddrLocalhost(httpGetAddress(papplClientGetHTTP(client))) ||
                                     !papplSystemGetTLSOnly(papplClientGetSystem(client))
                                 ? "http"
                                 : "https";
        char uri[1024];
        httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), scheme, nullptr,
                         papplClientGetHostName(client), papplClientGetHostPort(client),
                         "/%s.strings", kLanguages[i]);
        ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_URI, "printer-strings-uri", nullptr, uri);
    }
}

}  // namespace

void complete_printer_attributes(pappl_client_t* client) {
    ipp_t* request = papplClientGetRequest(client);
    ipp_t* response = papplClientGetResponse(client);
    pappl_printer_t* printer = papplClientGetPrinter(client);
    if (!printer || !response || ippGetOperation(request) != IPP_OP_GET_PRINTER_ATTRIBUTES ||
        ippGetStatusCode(response) != IPP_STATUS_OK ||
        ippFindAttribute(response, "print-darkness-default", IPP_TAG_INTEGER))
        return;
    // The largest document the server takes (max-document-size), for every
    // format: PAPPL says 0-0 for JPEG and PDF (it reads job-k-octets-supported
    // before it has set it) and the spool's free room for any job.
    const int kOctets =
        static_cast<int>(std::min<long long>(server_settings().maxDocumentBytes / 1024, INT_MAX));
    for (const char* name :
         {"job-k-octets-supported", "jpeg-k-octets-supported", "pdf-k-octets-supported"})
        if (ipp_attribute_t* range = ippFindAttribute(response, name, IPP_TAG_RANGE))
            ippSetRange(response, &range, 0, 0, kOctets);
    add_printer_strings(client, request, response);
    cups_array_t* requested = ippCreateRequestedArray(request);
    if (!requested || cupsArrayFind(requested, const_cast<char*>("print-darkness-default"))) {
        pappl_pr_driver_data_t data;
        papplPrinterGetDriverData(printer, &data);
        ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "print-darkness-default",
                      data.darkness_default);
    }
    cupsArrayDelete(requested);
}

}  // namespace tarnwel

// PAPPL 1.3.1 reads ipp-attribute-fidelity the wrong way round: true makes
// it accept a job whose document attributes it found invalid, and it still
// prints on other paper than a job asked for (with fidelity the job must be
// refused instead). Its check of a job's attributes starts with this
// function, wrapped here like the one below: with fidelity, a job the printer
// cannot print as asked is refused, and the fidelity attribute is taken out
// of the request so that PAPPL's reading of it cannot let the job through.
#if TARNWEL_GUARD_PRINTER_DEFAULTS
extern "C" __attribute__((visibility("default"))) bool _papplJobValidateDocumentAttributes(
    pappl_client_t* client) {
    using Validate = bool (*)(pappl_client_t*);
    static const Validate papplOwn =
        tarnwel::next_definition<Validate>("_papplJobValidateDocumentAttributes");
    bool ok = papplOwn ? papplOwn(client) : false;
    ipp_t* request = papplClientGetRequest(client);
    if (ok) {
        if (std::string why = tarnwel::unprintable_format(request); !why.empty()) {
            papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED, "%s",
                                  why.c_str());
            ipp_t* response = papplClientGetResponse(client);
            if (ipp_attribute_t* format =
                    ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE)) {
                ipp_attribute_t* copy = ippCopyAttribute(response, format, 0);
                ippSetGroupTag(response, &copy, IPP_TAG_UNSUPPORTED_GROUP);
            }
            return false;
        }
    }
    ipp_attribute_t* fidelity =
        ippFindAttribute(request, "ipp-attribute-fidelity", IPP_TAG_BOOLEAN);
    if (!fidelity || !ippGetBoolean(fidelity, 0))
        return ok;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr;
         attr = ippNextAttribute(request)) {
        if (ippGetGroupTag(attr) != IPP_TAG_JOB)
            continue;
        std::string why = tarnwel::inexact_job_attribute(attr);
        if (why.empty())
            continue;
        papplClientRespondIPPUnsupported(client, attr);
        papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "%s", why.c_str());
        ok = false;
    }
    if (!ok)
        ippDeleteAttribute(request, fidelity);
    return ok;
}
#endif

// PAPPL 1.3.1 takes the printer defaults of Set-Printer-Attributes and
// Create-Printer without checking their values: a media-col-default of an
// unknown size dereferences a null pointer and takes the whole server down,
// an orientation-requested-default out of range is read past a table at every
// job, and a paper of any size becomes the default that every PDF job is then
// rendered on. PAPPL offers no hook before it takes them, so its internal
// function is wrapped here (the program's definition comes first for the
// dynamic linker; the build exports it): the request's values are checked,
// and only a request whose values the printer can take goes on to PAPPL's.
// (Create-Printer has printer-location set the same way.)
#if TARNWEL_GUARD_PRINTER_DEFAULTS
extern "C" __attribute__((visibility("default"))) bool _papplPrinterSetAttributes(
    pappl_client_t* client, pappl_printer_t* printer) {
    using SetAttributes = bool (*)(pappl_client_t*, pappl_printer_t*);
    static const SetAttributes papplOwn =
        tarnwel::next_definition<SetAttributes>("_papplPrinterSetAttributes");
    ipp_t* request = papplClientGetRequest(client);
    bool ok = true;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr;
         attr = ippNextAttribute(request)) {
        if (ippGetGroupTag(attr) != IPP_TAG_PRINTER)
            continue;
        std::string why = tarnwel::bad_printer_default(attr);
        if (why.empty())
            continue;
        papplClientRespondIPPUnsupported(client, attr);
        // The reason in words replaces PAPPL's "Unsupported ... value.".
        papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "%s", why.c_str());
        ok = false;
    }
    if (!ok)
        return false;
    if (!papplOwn) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL,
                              "Unable to set printer attributes.");
        return false;
    }
    if (!papplOwn(client, printer))
        return false;
    // PAPPL 1.3.1 hands printer-location to its geo-location setter, which
    // drops it as no "geo:" URI: the location is set here.
    ipp_attribute_t* location = ippFindAttribute(request, "printer-location", IPP_TAG_TEXT);
    if (location && ippGetGroupTag(location) == IPP_TAG_PRINTER)
        papplPrinterSetLocation(printer, ippGetString(location, 0, nullptr));
    return true;
}
#endif

// Every open of a device, by PAPPL's jobs among others, passes here on its way
// to PAPPL's own, so that the watch of unreachable printers knows which
// devices are being opened and which failed, without taking a lock PAPPL may
// hold for as long as a connection takes.
extern "C" __attribute__((visibility("default"))) pappl_device_t* papplDeviceOpen(
    const char* device_uri, const char* name, pappl_deverror_cb_t err_cb, void* err_data) {
    using Open = pappl_device_t* (*)(const char*, const char*, pappl_deverror_cb_t, void*);
    static const Open papplOwn = tarnwel::next_definition<Open>("papplDeviceOpen");
    const std::string uri = device_uri ? device_uri : "";
    // A printer kept from the state of an older version may name a device
    // the server may no longer use (a file: device outside the folder the
    // server option names): it does not open, and the log says why.
    if (std::string why = tarnwel::device_refusal(device_uri); !why.empty()) {
        if (err_cb)
            err_cb(why.c_str(), err_data);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(tarnwel::devicesLock);
        tarnwel::devices[uri].opening++;
    }
    pappl_device_t* device = papplOwn ? papplOwn(device_uri, name, err_cb, err_data) : nullptr;
    std::lock_guard<std::mutex> guard(tarnwel::devicesLock);
    tarnwel::DeviceWatch& watch = tarnwel::devices[uri];
    watch.opening--;
    watch.failing = device == nullptr;
    return device;
}

// PAPPL 1.3.1 answers a Get-Printer-Attributes that asks for everything by
// adding printer-strings-languages-supported to the printer's own
// attributes instead of the answer, while other clients read them: the
// printer gains a copy at each request (every answer then names it once
// more) and readers meet a list that changes under them. The value goes
// into the answer of the client the thread serves instead
// (AppAttributes.TheAnswerIsTheSameOnTheFirstAndTheThousandthRequest).
extern "C" __attribute__((visibility("default"))) ipp_attribute_t* ippAddStrings(
    ipp_t* ipp, ipp_tag_t group, ipp_tag_t value_tag, const char* name, int num_values,
    const char* language, const char* const* values) {
    using Add = ipp_attribute_t* (*)(ipp_t*, ipp_tag_t, ipp_tag_t, const char*, int, const char*,
                                     const char* const*);
    static const Add libcups = tarnwel::next_definition<Add>("ippAddStrings");
    if (name && strcmp(name, "printer-strings-languages-supported") == 0)
        if (pappl_client_t* client = tarnwel::served_client()) {
            ipp_t* response = papplClientGetResponse(client);
            if (response && response != ipp)
                ipp = response;
        }
    return libcups(ipp, group, value_tag, name, num_values, language, values);
}

// Every answer PAPPL 1.3.1 gives from a printer's, the system's or a job's
// attributes (Get-Printer-Attributes, Get-Printers, Get-System-Attributes,
// Get-Job-Attributes) goes through _papplCopyAttributes, and libcups 2.4
// copies a collection by sharing it and counting its users in a plain int.
// Two clients' threads count the printer's own collections (media-col-database,
// media-size-supported, media-col-default...) at once, one copying into its
// answer while another deletes the answer it has sent: a count lost frees a
// collection the printer still holds, and the next answer reads freed memory
// (a collection shown as {} in media-size-supported, then a crash). Here the
// answer gets collections of its own, their strings copied too (a string
// pointing into the printer's collection would not outlive a change of it),
// names and texts with a language among them (with the first value's
// language).
// Which attributes are copied is PAPPL's choice, made as it makes it
// (AppAttributeCopies.*, AppBadJobSettings.*/MediaSizeNameWithLanguage).
namespace {

struct CopyFilter {
    cups_array_t* requested = nullptr;
    ipp_tag_t group = IPP_TAG_ZERO;
    bool filtered = false;  // false inside a collection: every member is copied
};

int copy_unshared(void* context, ipp_t* to, ipp_attribute_t* attr) {
    const auto* filter = static_cast<const CopyFilter*>(context);
    const char* name = ippGetName(attr);
    if (filter->filtered) {
        // PAPPL's choice: the group asked for (or none), and only what the
        // request names; media-col-database only when it names it.
        const ipp_tag_t group = ippGetGroupTag(attr);
        if ((filter->group != IPP_TAG_ZERO && group != filter->group && group != IPP_TAG_ZERO) ||
            !name)
            return 0;
        const bool requested = filter->requested &&
                               cupsArrayFind(filter->requested, const_cast<char*>(name)) != nullptr;
        if ((strcmp(name, "media-col-database") == 0 || filter->requested) && !requested)
            return 0;
    }
    const ipp_tag_t tag = ippGetValueTag(attr);
    const int count = ippGetCount(attr);
    if (tag == IPP_TAG_TEXTLANG || tag == IPP_TAG_NAMELANG) {
        // libcups 2.4 copies a text or name with a language only if it is a
        // constant: one a client sent comes out empty (a media-size-name
        // with a language in a job's media-col then crashes PAPPL when the
        // job prints). Its API sets one language for all the values of an
        // attribute: the first value's (at most 31 characters) goes to all.
        std::vector<const char*> values(static_cast<size_t>(count));
        const char* language = nullptr;
        for (int i = 0; i < count; i++)
            values[static_cast<size_t>(i)] = ippGetString(attr, i, i == 0 ? &language : nullptr);
        ippAddStrings(to, ippGetGroupTag(attr), tag, name, count, language, values.data());
        return 0;
    }
    if (tag != IPP_TAG_BEGIN_COLLECTION)
        return 1;  // libcups copies it
    std::vector<ipp_t*> own(static_cast<size_t>(count));
    CopyFilter members;
    for (int i = 0; i < count; i++) {
        own[static_cast<size_t>(i)] = ippNew();
        ippCopyAttributes(own[static_cast<size_t>(i)], ippGetCollection(attr, i), 0, copy_unshared,
                          &members);
    }
    ippAddCollections(to, ippGetGroupTag(attr), name, count, const_cast<const ipp_t**>(own.data()));
    for (ipp_t* col : own)
        ippDelete(col);
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void _papplCopyAttributes(ipp_t* to, ipp_t* from,
                                                                            cups_array_t* ra,
                                                                            ipp_tag_t group_tag,
                                                                            int quickcopy) {
    CopyFilter filter;
    filter.requested = ra;
    filter.group = group_tag;
    filter.filtered = true;
    ippCopyAttributes(to, from, quickcopy, copy_unshared, &filter);
}
