// SPDX-License-Identifier: Apache-2.0
// The limits on what one client can make the server hold: jobs waiting,
// bytes of a document, room left in the spool, and time: a client that sends
// nothing in the middle of a document, or takes too long over one page of a
// streamed raster, loses its job and frees the printer.
//
// Documents arrive through PAPPL's reads from the client (httpRead2), which
// the program takes the place of (job_limits.cpp): while a DocumentReadGuard
// is in place in a thread, every read of that thread counts against it.
// tests/test_app_limits.cpp hits each limit from a client on another network.
#ifndef TARNWEL_APP_JOB_LIMITS_H
#define TARNWEL_APP_JOB_LIMITS_H

#include <pappl/pappl.h>

#include <string>

namespace tarnwel {

// Why a new job for `printer` cannot be taken now (too many jobs waiting, no
// room in the spool), with the IPP status to answer; empty when it can.
std::string job_limit_refusal(pappl_printer_t* printer, ipp_status_t& status);

// Why the last job this thread asked PAPPL for was not made (a limit, with
// the IPP status to answer), or empty; forgotten before each request.
std::string job_refusal(ipp_status_t& status);
void forget_job_refusal();

// The bytes free in the spool's file system, or -1 if unknown.
long long spool_free_bytes();

// Guards the reads of one client's document in this thread. `spooled`: the
// document goes to a file in the spool (its size counts); otherwise it is
// printed as it comes (a streamed raster; its pages are timed).
class DocumentReadGuard {
  public:
    DocumentReadGuard(pappl_client_t* client, pappl_job_t* job, bool spooled);
    ~DocumentReadGuard();
    DocumentReadGuard(const DocumentReadGuard&) = delete;
    DocumentReadGuard& operator=(const DocumentReadGuard&) = delete;

    // After PAPPL has read the document: a spooled document stopped here
    // ends its job, aborted; the reason in words and the IPP status a
    // client understands go in PAPPL's response.
    void finish();

  private:
    pappl_client_t* client_;
};

// A page of a streamed raster starts: its time runs from now.
void note_page_started();

// Why this thread's document stopped coming (a limit), or empty.
std::string document_stop_reason();

}  // namespace tarnwel

#endif
