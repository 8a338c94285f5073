#include "job_limits.h"

#include <dlfcn.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "server_settings.h"

namespace tarnwel {

namespace {

using Clock = std::chrono::steady_clock;

std::string megabytes(long long bytes) {
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}

// The state of one document's reads, in the thread that reads it.
struct ReadState {
    http_t* http = nullptr;
    bool spooled = false;
    long long bytes = 0;
    long long unchecked = 0;  // bytes since the spool's room was last looked at
    Clock::time_point lastData, pageStart;
    unsigned page = 0;  // pages started
    bool stopped = false;
    bool told = false;  // PAPPL's copy has seen the read fail
    ipp_status_t status = IPP_STATUS_OK;
    std::string reason;
};
thread_local ReadState* current = nullptr;
thread_local std::string stopReason;

void stop(ReadState& s, ipp_status_t status, const std::string& reason) {
    if (s.stopped)
        return;
    s.stopped = true;
    s.status = status;
    s.reason = reason;
    stopReason = reason;
}

long long seconds_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t).count();
}

// The time limits, looked at before each read and every second that a read
// waits.
void check_time(ReadState& s) {
    const ServerSettings& limits = server_settings();
    if (seconds_since(s.lastData) >= limits.streamTimeout)
        stop(s, IPP_STATUS_ERROR_TIMEOUT,
             "The client sent nothing for " + std::to_string(limits.streamTimeout) +
                 " seconds in the middle of its document; the job was stopped (stream-timeout).");
    else if (!s.spooled && seconds_since(s.pageStart) >= limits.maxPageTime)
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

DocumentReadGuard::DocumentReadGuard(pappl_client_t* client, bool spooled) : client_(client) {
    stopReason.clear();
    auto* s = new ReadState;
    s->http = papplClientGetHTTP(client);
    s->spooled = spooled;
    s->lastData = s->pageStart = Clock::now();
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

void DocumentReadGuard::answer_refusal() {
    ReadState* s = current;
    if (!s || !s->stopped)
        return;
    ipp_t* response = papplClientGetResponse(client_);
    if (!response)
        return;
    ippSetStatusCode(response, s->status);
    ipp_attribute_t* message = ippFindAttribute(response, "status-message", IPP_TAG_TEXT);
    if (message)
        ippSetString(response, &message, 0, s->reason.c_str());
    else
        ippAddString(response, IPP_TAG_OPERATION, IPP_TAG_TEXT, "status-message", nullptr,
                     s->reason.c_str());
    if (pappl_job_t* job = papplClientGetJob(client_)) {
        papplJobSetMessage(job, "%s", s->reason.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", s->reason.c_str());
    }
}

void note_page_started() {
    if (ReadState* s = current) {
        s->pageStart = Clock::now();
        s->page++;
    }
}

std::string document_stop_reason() {
    return stopReason;
}

}  // namespace tarnwel

// PAPPL reads a client's document with libcups's httpRead2(), which the
// program takes the place of (the build exports it), so that every limit
// holds while the bytes come. Reads outside a DocumentReadGuard pass as they
// are.
extern "C" __attribute__((visibility("default"))) ssize_t httpRead2(http_t* http, char* buffer,
                                                                    size_t length) {
    using Read = ssize_t (*)(http_t*, char*, size_t);
    static const Read libcups = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "httpRead2"));
    using tarnwel::current;
    tarnwel::ReadState* s = current;
    if (!s || s->http != http)
        return libcups ? libcups(http, buffer, length) : -1;
    if (!s->stopped)
        tarnwel::check_time(*s);
    if (s->stopped) {
        // What a client still sends after a spooled document was refused for
        // its size is read and dropped (PAPPL drains the request after the
        // failed read), so that the client gets its answer; nothing more of
        // a streamed or a stalled one is taken.
        if (s->told && s->spooled && s->status != IPP_STATUS_ERROR_TIMEOUT)
            return libcups(http, buffer, length);
        s->told = true;
        return -1;
    }
    ssize_t n = libcups(http, buffer, length);
    if (s->stopped) {
        s->told = true;
        return -1;  // a time limit ended the wait: not the document's end
    }
    if (n > 0) {
        s->lastData = tarnwel::Clock::now();
        s->bytes += n;
        s->unchecked += n;
        const tarnwel::ServerSettings& limits = tarnwel::server_settings();
        if (s->spooled && s->bytes > limits.maxDocumentBytes) {
            tarnwel::stop(*s, IPP_STATUS_ERROR_REQUEST_ENTITY,
                          "The document is larger than the " +
                              tarnwel::megabytes(limits.maxDocumentBytes) +
                              " the print server takes (max-document-size).");
            s->told = true;
            return -1;
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
                s->told = true;
                return -1;
            }
        }
    }
    return n;
}
