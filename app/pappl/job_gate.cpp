// SPDX-License-Identifier: Apache-2.0
// One job at a time on each printer, whatever PAPPL 1.3.1's scheduler does.
//
// PAPPL gives a spooled job its own thread and marks the job as printing
// (the printer's processing job, job-state processing) only once that
// thread runs. Until then, every other look for work on the printer (a job
// whose document has arrived, a job that ends, a client streaming PWG raster
// or Apple raster) finds the printer idle and the job still pending: it
// starts the same job again, or another one, on the same printer. All of
// them then share the printer's one open device, and the first to end closes
// it under the others, whose next write uses freed memory (the server dies).
// A job started again after it printed opens a file:// device a second time
// and empties what it printed. Ending a job has the same window: PAPPL says
// the printer is free before it has closed the device.
//
// A client that streams raster to a busy printer has a fault of its own:
// PAPPL answers server-error-busy and then ends the job holding the
// printer's lock while it waits for the system's, where saving the state,
// cleaning old jobs and listing printers take the system's lock first and
// then the printer's. One busy answer at the wrong moment stops the printer
// and the server's main loop for good.
//
// The application therefore stands in front of PAPPL's two ways into
// printing a job: _papplJobProcess (the thread of a spooled job) and
// _papplJobCopyDocumentData (a client's document, which PAPPL prints at once
// when it is streamed raster). Defined here, in the program, they take the
// place of PAPPL's for PAPPL's own calls, which go through the dynamic
// linker, and hand over to PAPPL's inside the printer's gate: from before a
// job starts until PAPPL has finished it and closed the device. Only a job
// inside the gate can be the printer's processing job, so:
// - a spooled job's thread that finds its job taken by another thread in the
//   meantime returns at once and leaves the job alone;
// - streamed raster goes in when the gate is free, and PAPPL then always
//   finds the printer free; when the gate is taken the application answers
//   server-error-busy itself, as PAPPL would, and cancels the job without
//   PAPPL's locking (the client sends it again).
//
// These are PAPPL 1.3's internal functions: the build includes this file
// only for PAPPL 1.3 (app/CMakeLists.txt).
#include <dlfcn.h>
#include <pappl/pappl.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "pappl/interpose.h"
#include "pappl/job_limits.h"

namespace {

using ProcessFn = void* (*)(pappl_job_t*);
using CopyDocumentFn = void (*)(pappl_client_t*, pappl_job_t*);

// The gate of a printer. Printers are few and live long; a gate is kept for
// the life of the server. A deleted printer's gate is closed for good (the
// threads still waiting at it leave without touching the printer) and set
// aside, and a new printer at a freed one's address gets a gate of its own.
struct Gate {
    std::mutex lock;
    bool closed = false;  // its printer is deleted
};
// (Never destroyed: PAPPL's job threads may still be at a gate while the
// program exits.)
std::mutex gatesLock;
std::map<const void*, std::unique_ptr<Gate>>& gates =
    *new std::map<const void*, std::unique_ptr<Gate>>;
std::vector<std::unique_ptr<Gate>>& retired = *new std::vector<std::unique_ptr<Gate>>;

Gate& gate(pappl_printer_t* printer) {
    std::lock_guard<std::mutex> guard(gatesLock);
    std::unique_ptr<Gate>& g = gates[printer];
    if (!g)
        g = std::make_unique<Gate>();
    return *g;
}

// A printer deleted while its gate is held (by the caller): it is gone once
// this returns.
void delete_in_gate(Gate& g, pappl_printer_t* printer) {
    using DeleteFn = void (*)(pappl_printer_t*);
    static const DeleteFn papplDelete = tarnwel::next_definition<DeleteFn>("papplPrinterDelete");
    g.closed = true;
    {
        std::lock_guard<std::mutex> guard(gatesLock);
        auto it = gates.find(printer);
        if (it != gates.end() && it->second.get() == &g) {
            retired.push_back(std::move(it->second));  // waiters still hold it
            gates.erase(it);
        }
    }
    papplDelete(printer);
}

// PAPPL 1.3.1 deletes a printer that was deleted while it printed from
// inside the job's end, and then goes on reading the printer (and the job)
// it has just freed. A job inside the gate notes the deletion here instead,
// and the printer is deleted once PAPPL has finished the job.
thread_local bool jobInGate = false;
thread_local pappl_printer_t* deleteAfterJob = nullptr;

// The formats PAPPL prints while the client still sends them.
bool streamed(const char* format) {
    return format && (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
}

// Runs PAPPL's processing of a job of `printer`, whose gate the caller
// holds, and deletes the printer afterwards if it was deleted meanwhile.
template <class Fn>
void* run_in_gate(Gate& g, pappl_printer_t* printer, Fn&& fn) {
    jobInGate = true;
    deleteAfterJob = nullptr;
    void* result = fn();
    jobInGate = false;
    if (deleteAfterJob) {
        deleteAfterJob = nullptr;
        delete_in_gate(g, printer);
    }
    return result;
}

}  // namespace

extern "C" {

// PAPPL's deletion of a printer: from inside a job, once the job is done;
// elsewhere once no job is inside the printer's gate.
void papplPrinterDelete(pappl_printer_t* printer) {
    if (jobInGate) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG,
                        "The printer is deleted once its job has ended.");
        deleteAfterJob = printer;
        return;
    }
    Gate& g = gate(printer);
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.closed)
        delete_in_gate(g, printer);
}

// PAPPL's thread for a spooled job. It holds no lock of PAPPL's here.
void* _papplJobProcess(pappl_job_t* job) {
    static const ProcessFn process = tarnwel::next_definition<ProcessFn>("_papplJobProcess");
    // The job was pending when PAPPL started this thread a moment ago.
    pappl_printer_t* printer = papplJobGetPrinter(job);
    const int id = papplJobGetID(job);
    Gate& g = gate(printer);
    std::lock_guard<std::mutex> guard(g.lock);
    if (g.closed)
        return nullptr;  // the printer, and its jobs, are gone
    // Looked up again: while this thread waited, another may have printed
    // the job, and PAPPL may even have deleted it since.
    pappl_job_t* current = papplPrinterFindJob(printer, id);
    if (current != job || papplJobGetState(job) != IPP_JSTATE_PENDING) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG,
                        "Job %d was started again while it was taken already; left alone.", id);
        return nullptr;
    }
    // A job without a document (a streamed one) is not for this thread.
    if (!papplJobGetFilename(job)) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG,
                        "Job %d has no document to print here; left alone.", id);
        return nullptr;
    }
    return run_in_gate(g, printer, [&] { return process(job); });
}

// The document of a Print-Job or Send-Document request, in the client's
// thread, which holds no lock of PAPPL's here.
void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job) {
    static const CopyDocumentFn copy =
        tarnwel::next_definition<CopyDocumentFn>("_papplJobCopyDocumentData");
    if (!streamed(papplJobGetFormat(job))) {
        tarnwel::DocumentReadGuard limits(client, job, true);
        copy(client, job);  // spooled, and printed by a job thread
        limits.finish();
        return;
    }
    pappl_printer_t* printer = papplJobGetPrinter(job);
    Gate& g = gate(printer);
    std::unique_lock<std::mutex> guard(g.lock, std::try_to_lock);
    if (guard.owns_lock() && !g.closed) {
        // printed now, the printer all this job's
        tarnwel::DocumentReadGuard limits(client, job, false);
        run_in_gate(g, printer, [&] {
            copy(client, job);
            return nullptr;
        });
        limits.finish();
        return;
    }
    papplClientRespondIPP(client, IPP_STATUS_ERROR_BUSY, "Currently printing another job.");
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "The printer is printing another job; the client is asked to send this one "
                "again.");
    // The rest of the document is read and dropped, as HTTP wants.
    http_t* http = papplClientGetHTTP(client);
    char buffer[8192];
    if (httpGetState(http) == HTTP_STATE_POST_RECV)
        while (httpRead2(http, buffer, sizeof(buffer)) > 0) {
        }
    papplJobCancel(job);
}

}  // extern "C"
