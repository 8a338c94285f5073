// SPDX-License-Identifier: Apache-2.0
// Where PAPPL 1.3.1 falls short with a printer in a person's hands, mended
// from the application: a printer it cannot reach is shown as offline (PAPPL
// shows it as paused by an operator), and printer defaults a client sends are
// checked before PAPPL takes them (a media-col-default of an unknown size
// crashes PAPPL 1.3.1's server), and a job cut off by a crash of the server
// ends instead of staying "processing" for ever.
#ifndef TARNWEL_APP_PAPPL_FIXES_H
#define TARNWEL_APP_PAPPL_FIXES_H

#include <pappl/pappl.h>

#include <string>

namespace tarnwel {

// Starts watching the system's printers for a device that does not answer
// (once a second, in the server's main loop; it never waits for a printer
// whose device PAPPL is opening).
void watch_unreachable_printers(pappl_system_t* system);

// A job's device has opened: the printer answers (again).
void printer_answers(pappl_job_t* job);

// Loads the server's state as papplSystemLoadState() does, except that a job
// the state shows as printing (the server stopped in the middle of it) is
// loaded as aborted, with a message that says so: PAPPL 1.3.1 would keep it
// "processing" for ever, and printing it again could stop the server again
// if the job was what stopped it.
bool load_state(pappl_system_t* system, const std::string& path);

// Why a job template attribute of a request asks for what the printer cannot
// do exactly, or empty when it can.
std::string inexact_job_attribute(ipp_attribute_t* attr);

// Why a printer default of a Set-Printer-Attributes or Create-Printer request
// cannot be taken, or empty when it can. `attr` is one attribute of the
// request's printer group.
std::string bad_printer_default(ipp_attribute_t* attr);

// Mends PAPPL's answer to Get-Printer-Attributes: adds what PAPPL 1.3.1
// leaves out though a client may set it (print-darkness-default), and says
// the largest document the server takes in the k-octets ranges.
void complete_printer_attributes(pappl_client_t* client);

}  // namespace tarnwel

#endif
