// SPDX-License-Identifier: Apache-2.0
#include "pappl/job_limits.h"

#include <dlfcn.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pappl/interpose.h"
#include "pappl/request_watch.h"
#include "server_settings.h"

// PAPPL 1.3's own setter of a job's state, which takes the job's lock only.
extern "C" void _papplJobSetState(pappl_job_t* job, ipp_jstate_t state);

namespace tarnwel {

namespace {

using Clock = std::chrono::steady_clock;

// Rounded up; any size a client can name.
std::string megabytes(long long bytes) {
    const long long mb = 1 << 20;
    return std::to_string(bytes / mb + (bytes % mb > 0)) + " MB";
}

// The state of one document's reads, in the thread that reads it.
struct ReadState {
    http_t* http = nullptr;
    pappl_job_t* job = nullptr;
    bool spooled = false;
    long long bytes = 0;
    long long unchecked = 0;  // bytes since the spool's room was last looked at
    // Only the time spent waiting for the client counts: the time the
    // server spends with the printer between two reads (a printer out of
    // paper holds the next read back) is not the client's.
    Clock::time_point readStart;  // of the read under way
    Clock::duration pageWait{};   // waited for the page's bytes before it
    unsigned page = 0;            // pages started
    bool stopped = false;
    ipp_status_t status = IPP_STATUS_OK;
    std::string reason;
};
thread_local ReadState* current = nullptr;
thread_local std::string stopReason;
// Why the last job this thread asked for was not made.
thread_local std::pair<ipp_status_t, std::string> refusedJob;

void stop(ReadState& s, ipp_status_t status, const std::string& reason) {
    if (s.stopped)
        return;
    s.stopped = true;
    s.status = status;
    s.reason = reason;
    stopReason = reason;
}

long long whole_seconds(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

// The time limits, looked at every second that a read waits and after each
// read.
void check_time(ReadState& s) {
    const ServerSettings& limits = server_settings();
    const Clock::duration waiting = Clock::now() - s.readStart;
    if (whole_seconds(waiting) >= limits.streamTimeout)
        stop(s, IPP_STATUS_ERROR_TIMEOUT,
             "The client sent nothing for " + std::to_string(limits.streamTimeout) +
                 " seconds in the middle of its document; the job was stopped (stream-timeout).");
    else if (!s.spooled && whole_seconds(s.pageWait + waiting) >= limits.maxPageTime)
        stop(s, IPP_STATUS_ERROR_TIMEOUT,
             "Page " + std::to_string(s.page ? s.page : 1) + " of the document took more than " +
                 std::to_string(limits.maxPageTime) +
                 " seconds to arrive; the job was stopped (max-page-time).");
}

// Called by libcups every second that a read waits: 0 gives up the read.
int still_waiting(http_t* http, void*) {
    ReadState* s = current;
    if (!s || s->http != http)
        return 0;
    check_time(*s);
    return !s->stopped;
}

// libcups's own read.
ssize_t libcups_read(http_t* http, char* buffer, size_t length) {
    using Read = ssize_t (*)(http_t*, char*, size_t);
    static const Read libcups = next_definition<Read>("httpRead2");
    return libcups(http, buffer, length);
}

// What PAPPL is told when a document stops here. PAPPL 1.3.1 ends a job
// whose spooled document failed to read holding the printer's lock while it
// waits for the system's, the other way round from saving the state: a
// refused or broken-off document at the moment the state is saved stops
// the server for good (AppLimits.DocumentsRefusedOrBrokenOffByManyClientsAtOnce).
// So PAPPL's copy of a spooled document is told that the document has ended,
// and the job ends where PAPPL would hand the file over for printing
// (_papplJobSubmitFile, below). A streamed raster's reader is told that the
// read failed.
ssize_t tell_end(const ReadState& s) {
    return s.spooled ? 0 : -1;
}

// Sets a text attribute of a response, or adds it at the end of its group:
// clients refuse a group that comes back after another.
void set_text(ipp_t* response, ipp_tag_t group, const char* name, const std::string& value) {
    if (ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_TEXT)) {
        // (PAPPL adds some as constant strings; set as they are, they would
        // point at this one's.)
        ippSetValueTag(response, &a, IPP_TAG_TEXT);
        ippSetString(response, &a, 0, value.c_str());
        return;
    }
    // The attributes of the groups after it move behind it.
    std::vector<ipp_attribute_t*> later;
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response))
        if (ippGetGroupTag(a) > group || (!later.empty()))
            later.push_back(a);
    ipp_t* moved = ippNew();
    for (ipp_attribute_t* a : later) {
        if (ippGetName(a))
            ippCopyAttribute(moved, a, 0);
        else
            ippAddSeparator(moved);
        ippDeleteAttribute(response, a);
    }
    ippAddString(response, group, IPP_TAG_TEXT, name, nullptr, value.c_str());
    for (ipp_attribute_t* a = ippFirstAttribute(moved); a; a = ippNextAttribute(moved)) {
        if (ippGetName(a))
            ippCopyAttribute(response, a, 0);
        else
            ippAddSeparator(response);
    }
    ippDelete(moved);
}

}  // namespace

long long spool_free_bytes() {
    const std::string& folder = server_settings().spoolDirectory;
    struct statvfs fs;
    if (folder.empty() || statvfs(folder.c_str(), &fs) != 0)
        return -1;
    return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

std::string job_limit_refusal(pappl_printer_t* printer, ipp_status_t& status) {
    const ServerSettings& limits = server_settings();
    if (!printer)
        return "";
    int waiting = papplPrinterGetNumberOfActiveJobs(printer);
    if (waiting >= limits.maxPrinterJobs) {
        status = IPP_STATUS_ERROR_TOO_MANY_JOBS;
        return "The printer has " + std::to_string(waiting) +
               " jobs not yet printed, as many as it takes (max-printer-jobs); send this one "
               "when some have printed.";
    }
    int all = 0;
    papplSystemIteratePrinters(
        papplPrinterGetSystem(printer),
        [](pappl_printer_t* p, void* data) {
            *static_cast<int*>(data) += papplPrinterGetNumberOfActiveJobs(p);
        },
        &all);
    if (all >= limits.maxJobs) {
        status = IPP_STATUS_ERROR_TOO_MANY_JOBS;
        return "The print server has " + std::to_string(all) +
               " jobs not yet printed, as many as it takes (max-jobs); send this one when some "
               "have printed.";
    }
    long long room = spool_free_bytes();
    if (room >= 0 && room < limits.minSpoolFree) {
        status = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
        return "The print server's disk has only " + megabytes(room) +
               " free for documents (min-spool-free is " + megabytes(limits.minSpoolFree) +
               "); try again later.";
    }
    return "";
}

DocumentReadGuard::DocumentReadGuard(pappl_client_t* client, pappl_job_t* job, bool spooled)
    : client_(client) {
    end_request_watch();  // the document's own limits take over
    stopReason.clear();
    auto* s = new ReadState;
    s->http = papplClientGetHTTP(client);
    s->job = job;
    s->spooled = spooled;
    s->readStart = Clock::now();
    current = s;
    const ServerSettings& limits = server_settings();
    // A length given up front that is too much is refused before a byte is
    // written.
    long long length = static_cast<long long>(httpGetLength2(s->http));
    if (spooled && length > limits.maxDocumentBytes)
        stop(*s, IPP_STATUS_ERROR_REQUEST_ENTITY,
             "The document has " + megabytes(length) + ", more than the " +
                 megabytes(limits.maxDocumentBytes) +
                 " the print server takes (max-document-size).");
    // libcups looks at still_waiting() every second that a read waits.
    httpSetTimeout(s->http, 1.0, still_waiting, nullptr);
}

DocumentReadGuard::~DocumentReadGuard() {
    ReadState* s = current;
    current = nullptr;
    if (s)
        httpSetTimeout(s->http, 0.0, nullptr, nullptr);
    delete s;
}

void DocumentReadGuard::finish() {
    ReadState* s = current;
    if (!s || !s->stopped)
        return;
    if (s->spooled && s->job) {
        // What a client still sends after a document refused for its size
        // is read and dropped, up to as much again as the limit, so that the
        // client gets its answer.
        if (s->status == IPP_STATUS_ERROR_REQUEST_ENTITY) {
            char buffer[8192];
            long long dropped = 0;
            ssize_t n;
            while (dropped < server_settings().maxDocumentBytes &&
                   httpGetState(s->http) == HTTP_STATE_POST_RECV &&
                   (n = libcups_read(s->http, buffer, sizeof(buffer))) > 0)
                dropped += n;
        }
    }
    ipp_t* response = papplClientGetResponse(client_);
    if (!response)
        return;
    ippSetStatusCode(response, s->status);
    set_text(response, IPP_TAG_OPERATION, "status-message", s->reason);
    if (s->job) {
        papplJobSetMessage(s->job, "%s", s->reason.c_str());
        papplLogJob(s->job, PAPPL_LOGLEVEL_ERROR, "%s", s->reason.c_str());
    }
}

void note_page_started() {
    if (ReadState* s = current) {
        s->pageWait = Clock::duration::zero();
        s->page++;
    }
}

std::string document_stop_reason() {
    return stopReason;
}

void forget_job_refusal() {
    refusedJob = {IPP_STATUS_OK, ""};
}

std::string job_refusal(ipp_status_t& status) {
    status = refusedJob.first;
    return refusedJob.second;
}

}  // namespace tarnwel

// PAPPL reads a client's document with libcups's httpRead2(), which the
// program takes the place of (the build exports it), so that every limit
// holds while the bytes come. Reads outside a DocumentReadGuard pass as they
// are.
extern "C" __attribute__((visibility("default"))) ssize_t httpRead2(http_t* http, char* buffer,
                                                                    size_t length) {
    using tarnwel::current;
    tarnwel::ReadState* s = current;
    if (!s || s->http != http)
        return tarnwel::libcups_read(http, buffer, length);
    if (s->stopped)
        return tarnwel::tell_end(*s);
    const bool body = httpGetState(http) == HTTP_STATE_POST_RECV;
    s->readStart = tarnwel::Clock::now();
    ssize_t n = tarnwel::libcups_read(http, buffer, length);
    if (!s->stopped)
        tarnwel::check_time(*s);
    s->pageWait += tarnwel::Clock::now() - s->readStart;
    s->readStart = tarnwel::Clock::now();  // (for the answer's wait, in finish())
    if (s->stopped)
        return tarnwel::tell_end(*s);  // a time limit ended the wait
    // The connection ended before the document did: a read error, no more
    // bytes while more were announced, or chunks that stop without their
    // last.
    if (body && (n < 0 || (n == 0 && (httpGetState(http) == HTTP_STATE_POST_RECV ||
                                      httpError(http) == EPIPE)))) {
        tarnwel::stop(*s, IPP_STATUS_ERROR_BAD_REQUEST,
                      "The client's connection ended in the middle of its document; the job was "
                      "stopped.");
        return tarnwel::tell_end(*s);
    }
    if (n > 0) {
        s->bytes += n;
        s->unchecked += n;
        const tarnwel::ServerSettings& limits = tarnwel::server_settings();
        if (s->spooled && s->bytes > limits.maxDocumentBytes) {
            tarnwel::stop(*s, IPP_STATUS_ERROR_REQUEST_ENTITY,
                          "The document is larger than the " +
                              tarnwel::megabytes(limits.maxDocumentBytes) +
                              " the print server takes (max-document-size).");
            return tarnwel::tell_end(*s);
        }
        // The room left is looked at every 4 MB, and at the start.
        if (s->spooled && (s->unchecked >= (4 << 20) || s->bytes == n)) {
            s->unchecked = 0;
            long long room = tarnwel::spool_free_bytes();
            if (room >= 0 && room < limits.minSpoolFree) {
                tarnwel::stop(*s, IPP_STATUS_ERROR_SERVICE_UNAVAILABLE,
                              "The print server's disk has only " + tarnwel::megabytes(room) +
                                  " left for documents (min-spool-free is " +
                                  tarnwel::megabytes(limits.minSpoolFree) +
                                  "); the document was refused.");
                return tarnwel::tell_end(*s);
            }
        }
    }
    return n;
}

// Every new job of PAPPL's is made here, however it comes (IPP, the web
// pages): one at a time, each after the limits were looked at, so that
// clients asking at the same moment cannot all pass the same count
// (AppLimits.JobsAskedForAtOnceStayWithinTheLimits). Jobs of the saved
// state come back as they were.
extern "C" __attribute__((visibility("default"))) pappl_job_t* _papplJobCreate(
    pappl_printer_t* printer, int job_id, const char* username, const char* format,
    const char* job_name, ipp_t* attrs) {
    using Create =
        pappl_job_t* (*)(pappl_printer_t*, int, const char*, const char*, const char*, ipp_t*);
    static const Create pappl = tarnwel::next_definition<Create>("_papplJobCreate");
    if (job_id != 0)
        return pappl(printer, job_id, username, format, job_name, attrs);
    static std::mutex creating;
    std::lock_guard<std::mutex> one_at_a_time(creating);
    ipp_status_t status = IPP_STATUS_OK;
    std::string why = tarnwel::job_limit_refusal(printer, status);
    if (!why.empty()) {
        tarnwel::refusedJob = {status, why};
        papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "%s", why.c_str());
        return nullptr;
    }
    return pappl(printer, job_id, username, format, job_name, attrs);
}

// PAPPL hands a spooled document over for printing. One stopped here (too
// large, no room, its client gone) is not: its job ends at once, aborted,
// with its file, before anyone can release or print it, and with no lock of
// PAPPL's held on the way (papplJobCancel takes the printer's and the job's
// only).
extern "C" __attribute__((visibility("default"))) void _papplJobSubmitFile(pappl_job_t* job,
                                                                           const char* filename) {
    using Submit = void (*)(pappl_job_t*, const char*);
    static const Submit pappl = tarnwel::next_definition<Submit>("_papplJobSubmitFile");
    tarnwel::ReadState* s = tarnwel::current;
    if (!s || !s->stopped || !s->spooled || s->job != job) {
        pappl(job, filename);
        return;
    }
    unlink(filename);
    papplJobCancel(job);
    _papplJobSetState(job, IPP_JSTATE_ABORTED);
    papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_JOB_CANCELED_BY_USER);
    papplJobSetMessage(job, "%s", s->reason.c_str());
}
