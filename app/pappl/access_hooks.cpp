// SPDX-License-Identifier: Apache-2.0
// PAPPL's decisions of who may do what, taken by the rules of access.cpp.
//
// PAPPL 1.3.1 decides none of it itself: with no auth service its web pages
// let every address administer everything, and Cancel-Job, Hold/Release-Job,
// Cancel-Current-Job, Disable/Enable-Printer and Get-Jobs are open to every
// client. Each function below has the name of one of libpappl's own; the
// program's definition comes first for the dynamic linker (the build exports
// them), so PAPPL's calls reach it. Held by AppNetwork.*
// (tests/test_app_network.cpp); README.md beside this file says what goes
// when PAPPL mends it.
#include <errno.h>
#include <pappl/pappl.h>

#include <string>

#include "access.h"
#include "pappl/dnssd.h"
#include "pappl/fixes.h"
#include "pappl/interpose.h"
#include "pappl/job_limits.h"

using tarnwel::admin_status;
using tarnwel::refuse_page;

extern "C" {

// The check of PAPPL's administrative operations (IPP and web).
__attribute__((visibility("default"))) http_status_t papplClientIsAuthorized(
    pappl_client_t* client) {
    return client ? admin_status(client) : HTTP_STATUS_BAD_REQUEST;
}

// The check of PAPPL's web pages that change something: PAPPL 1.3.1 lets
// everyone through when no auth service is set.
__attribute__((visibility("default"))) bool papplClientHTMLAuthorize(pappl_client_t* client) {
    if (!client)
        return false;
    http_status_t status = admin_status(client);
    if (status == HTTP_STATUS_CONTINUE)
        return true;
    refuse_page(client, status);
    return false;
}

// PAPPL's check of everything a client does with a printer and its jobs.
__attribute__((visibility("default"))) bool _papplPrinterIsAuthorized(pappl_client_t* client) {
    ipp_op_t op = ippGetOperation(papplClientGetRequest(client));
    if (tarnwel::printer_wide(op)) {
        http_status_t status = admin_status(client);
        if (status != HTTP_STATUS_CONTINUE)
            return tarnwel::refuse_ipp(
                client, status,
                std::string("Only an administrator may ") + ippOpString(op) +
                    " (it acts on everyone's jobs); remote administration is turned off.");
        return true;
    }
    pappl_job_t* job = papplClientGetJob(client);
    if (job && tarnwel::owners_only(op) && !tarnwel::owns_job(client, job)) {
        http_status_t status = admin_status(client);
        if (status != HTTP_STATUS_CONTINUE)
            return tarnwel::refuse_ipp(client, status,
                                       "Job " + std::to_string(papplJobGetID(job)) +
                                           " belongs to another user: only its owner or an "
                                           "administrator may do that.");
        return true;
    }
    if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB || op == IPP_OP_PRINT_URI) {
        ipp_status_t status = IPP_STATUS_OK;
        std::string why = tarnwel::job_limit_refusal(papplClientGetPrinter(client), status);
        if (!why.empty()) {
            papplClientRespondIPP(client, status, "%s", why.c_str());
            return false;
        }
    }
    return true;
}

// PAPPL's handling of a request to a printer, a job or the system: another
// user's subscription is left alone, and other people's names and users are
// taken out of the answer for a client that is not an administrator
// (process_ipp).
__attribute__((visibility("default"))) void _papplPrinterProcessIPP(pappl_client_t* client) {
    using Process = void (*)(pappl_client_t*);
    static const Process papplOwn = tarnwel::next_definition<Process>("_papplPrinterProcessIPP");
    tarnwel::forget_job_refusal();
    tarnwel::process_ipp(client, papplOwn);
    tarnwel::complete_printer_attributes(client);
    // A job refused for a limit at the last moment: PAPPL would say
    // "Currently printing another job.".
    ipp_status_t refused = IPP_STATUS_OK;
    std::string why = tarnwel::job_refusal(refused);
    if (!why.empty())
        papplClientRespondIPP(client, refused, "%s", why.c_str());
}

__attribute__((visibility("default"))) void _papplJobProcessIPP(pappl_client_t* client) {
    using Process = void (*)(pappl_client_t*);
    static const Process papplOwn = tarnwel::next_definition<Process>("_papplJobProcessIPP");
    tarnwel::process_ipp(client, papplOwn);
}

// Create-Printer besides: a device the server may not use is refused in
// words. (Administration is checked first, by PAPPL's own handling.)
__attribute__((visibility("default"))) void _papplSystemProcessIPP(pappl_client_t* client) {
    using Process = void (*)(pappl_client_t*);
    static const Process papplOwn = tarnwel::next_definition<Process>("_papplSystemProcessIPP");
    ipp_t* request = papplClientGetRequest(client);
    if (ippGetOperation(request) == IPP_OP_CREATE_PRINTER &&
        admin_status(client) == HTTP_STATUS_CONTINUE) {
        ipp_attribute_t* attr = ippFindAttribute(request, "smi55357-device-uri", IPP_TAG_URI);
        std::string why = attr ? tarnwel::device_refusal(ippGetString(attr, 0, nullptr)) : "";
        if (!why.empty()) {
            papplClientRespondIPPUnsupported(client, attr);
            papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES, "%s", why.c_str());
            return;
        }
    }
    tarnwel::process_ipp(client, papplOwn);
}

// Every printer PAPPL creates while the server runs (the web form among
// others) gets a device the server may use. Printers of the saved state
// (created before the server runs) stay, so that they can be seen and
// mended; their device refuses to open instead.
__attribute__((visibility("default"))) pappl_printer_t* papplPrinterCreate(
    pappl_system_t* system, int printer_id, const char* printer_name, const char* driver_name,
    const char* device_id, const char* device_uri) {
    using Create = pappl_printer_t* (*)(pappl_system_t*, int, const char*, const char*, const char*,
                                        const char*);
    static const Create papplOwn = tarnwel::next_definition<Create>("papplPrinterCreate");
    std::string why = tarnwel::device_refusal(device_uri);
    if (!why.empty() && papplSystemIsRunning(system)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer \"%s\" not added: %s",
                 printer_name ? printer_name : "", why.c_str());
        errno = EPERM;
        return nullptr;
    }
    pappl_printer_t* printer =
        papplOwn(system, printer_id, printer_name, driver_name, device_id, device_uri);
    tarnwel::advertise_new_printer(printer);
    return printer;
}

}  // extern "C"

// PAPPL's web pages that show jobs, printers and settings do not check who
// asks: from another address they need the login, as the pages that change
// something do. Each wrapper takes the place of PAPPL's page function, which
// PAPPL registers by its address. (PAPPL's page functions return nothing,
// though PAPPL calls them as resource callbacks that say whether the
// connection goes on: the wrappers say it does.)
#define TARNWEL_GUARDED_PAGE(name)                                                      \
    extern "C" __attribute__((visibility("default"))) bool name(pappl_client_t* client, \
                                                                void* data) {           \
        using Page = void (*)(pappl_client_t*, void*);                                  \
        static const Page papplOwn = tarnwel::next_definition<Page>(#name);             \
        http_status_t status = admin_status(client);                                    \
        if (status != HTTP_STATUS_CONTINUE)                                             \
            refuse_page(client, status);                                                \
        else                                                                            \
            papplOwn(client, data);                                                     \
        return true;                                                                    \
    }
TARNWEL_GUARDED_PAGE(_papplSystemWebHome)
TARNWEL_GUARDED_PAGE(_papplSystemWebConfig)
TARNWEL_GUARDED_PAGE(_papplSystemWebNetwork)
TARNWEL_GUARDED_PAGE(_papplSystemWebWiFi)
TARNWEL_GUARDED_PAGE(_papplSystemWebSecurity)
TARNWEL_GUARDED_PAGE(_papplSystemWebLogs)
TARNWEL_GUARDED_PAGE(_papplSystemWebLogFile)
TARNWEL_GUARDED_PAGE(_papplSystemWebTLSInstall)
TARNWEL_GUARDED_PAGE(_papplSystemWebTLSNew)
TARNWEL_GUARDED_PAGE(_papplPrinterWebHome)
TARNWEL_GUARDED_PAGE(_papplPrinterWebJobs)
TARNWEL_GUARDED_PAGE(_papplPrinterWebMedia)
TARNWEL_GUARDED_PAGE(_papplPrinterWebDefaults)
TARNWEL_GUARDED_PAGE(_papplPrinterWebSupplies)
TARNWEL_GUARDED_PAGE(_papplPrinterWebConfig)
TARNWEL_GUARDED_PAGE(_papplPrinterWebDelete)
TARNWEL_GUARDED_PAGE(_papplPrinterWebCancelAllJobs)
