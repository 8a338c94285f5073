// SPDX-License-Identifier: Apache-2.0
// Who may do what: the rules a print server's users expect from cupsd's
// defaults, kept in one place.
//
// - This machine (loopback, the control socket) administers the server
//   without a login, as before.
// - Any other address administers it only over TLS and after a login
//   (HTTP Basic against the admin-password-file); with no such file remote
//   administration is refused with a page that says how to turn it on.
// - Everyone may print. A client cancels, holds and releases only its own
//   jobs (by requesting-user-name, as cupsd does without a login), and sees
//   the names and users of other people's jobs only as an administrator.
// - The web pages are administration: from another address they need the
//   login too (icons, style sheets and strings stay open).
// - file: devices write only into the folder the server option names.
//
// PAPPL 1.3.1 decides none of this itself; app/pappl/access_hooks.cpp takes
// its decisions by these rules, tests/test_app_network.cpp holds each rule
// from a client on another network, and app/pappl/README.md says what goes
// when PAPPL mends it.
#ifndef TARNWEL_APP_ACCESS_H
#define TARNWEL_APP_ACCESS_H

#include <pappl/pappl.h>

#include <string>

namespace tarnwel {

// Whether the client is on this machine (the control socket or loopback).
bool client_is_local(pappl_client_t* client);

// The administration check: HTTP_STATUS_CONTINUE for an administrator;
// otherwise the status to answer (426 Upgrade Required without TLS, 403 with
// no login configured, 401 without the right credentials).
http_status_t admin_status(pappl_client_t* client);

// Whether `name` and `password` are a login of the password file.
bool check_login(const std::string& file, const std::string& name, const std::string& password);

// Why a device URI may not be used, or empty when it may.
std::string device_refusal(const char* uri);

// For PAPPL's decisions (app/pappl/access_hooks.cpp):
// Operations that act on everyone's jobs or the printer itself.
bool printer_wide(ipp_op_t op);
// Operations only a job's owner (or an administrator) may do.
bool owners_only(ipp_op_t op);
// Whether the job is the requesting user's.
bool owns_job(pappl_client_t* client, pappl_job_t* job);
// Refuses a request: an IPP status for `status`, with `why`; false.
bool refuse_ipp(pappl_client_t* client, http_status_t status, const std::string& why);
// Answers a web page with `status` (a redirect to TLS, a login, or a page
// that says why).
void refuse_page(pappl_client_t* client, http_status_t status);
// PAPPL's handling of a request, with other people's subscriptions left
// alone and their names taken out of the answer for a non-administrator.
void process_ipp(pappl_client_t* client, void (*papplOwn)(pappl_client_t*));

// The password subcommand: sets a login in the admin-password-file.
int password_subcommand(const char* baseName, int numOptions, cups_option_t* options, int numFiles,
                        char** files, void* data);

}  // namespace tarnwel

#endif
