// SPDX-License-Identifier: Apache-2.0
// tarnwel-printer-app: an IPP Everywhere printer application for the Tarnwel
// printers. PAPPL gives the command line (server, add, submit, jobs, cancel,
// printers, drivers, devices, shutdown, ...), the IPP server and the web
// pages; the printer stream of every job comes from the rastertotarnwel
// filter, run as CUPS runs it.
#include <malloc.h>
#include <pappl/pappl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "access.h"
#include "icons.h"
#include "job_bridge.h"
#include "models.h"
#include "pappl/dnssd.h"
#include "pappl/fixes.h"
#include "pdf.h"
#include "server_settings.h"
#include "state.h"
#include "web.h"

#ifndef TARNWEL_VERSION
#define TARNWEL_VERSION "0.0"
#endif

using namespace tarnwel;

namespace {

// A document whose format PAPPL could not tell reaches the driver as a "raw"
// job; the printer understands nothing but the filter's stream, so it is
// refused with a reason rather than sent as it is.
bool print_raw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    const char* reason =
        "The document is in a format the printer application does not know "
        "(PDF, PWG raster, Apple raster, JPEG and PNG print).";
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason);
    papplJobSetMessage(job, "%s", reason);
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    return false;
}

void fill_media(pappl_media_col_t& m, const char* pwgName) {
    memset(&m, 0, sizeof(m));
    pwg_media_t* pwg = pwgMediaForPWG(pwgName);
    snprintf(m.size_name, sizeof(m.size_name), "%s", pwgName);
    m.size_width = pwg ? pwg->width : 0;
    m.size_length = pwg ? pwg->length : 0;
    m.bottom_margin = m.top_margin = m.left_margin = m.right_margin = kMarginHmm;
    snprintf(m.source, sizeof(m.source), "main");
    snprintf(m.type, sizeof(m.type), "%s", kDefaultMediaType);
}

void identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s",
                    message && *message ? message : "this is the printer");
}

// The stream goes one way, so the printer's toner level is never known; the
// toner is listed all the same, as clients expect every printer to list its
// supplies.
void printer_created(pappl_printer_t* printer, void*) {
    pappl_supply_t toner;
    memset(&toner, 0, sizeof(toner));
    toner.color = PAPPL_SUPPLY_COLOR_BLACK;
    snprintf(toner.description, sizeof(toner.description), "Black Toner");
    toner.is_consumed = true;
    toner.level = -1;
    toner.type = PAPPL_SUPPLY_TYPE_TONER;
    papplPrinterSetSupplies(printer, 1, &toner);
    add_printer_web_pages(printer);
}

bool driver_callback(pappl_system_t* system, const char* driverName, const char*, const char*,
                     pappl_pr_driver_data_t* data, ipp_t**, void*) {
    const Model* model = find_model(driverName);
    if (!model) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "No such driver \"%s\".", driverName);
        return false;
    }
    data->printfile_cb = print_raw;
    data->rstartjob_cb = rstartjob;
    data->rstartpage_cb = rstartpage;
    data->rwriteline_cb = rwriteline;
    data->rendpage_cb = rendpage;
    data->rendjob_cb = rendjob;
    data->format = "application/octet-stream";

    snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->makeModel);
    data->ppm = model->pagesPerMinute;
    data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_ENVELOPE;

    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;
    // 8-bit grey only, dithered to one bit here: PAPPL 1.3.1 overruns its
    // line buffer when it converts grey wider than the paper to one bit.
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;

    // PAPPL hands the pages over in order and upright; the filter puts the
    // back sides first and turns them itself.
    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported =
        PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = kResolution;
    data->x_default = data->y_default = kResolution;

    data->left_right = data->bottom_top = kMarginHmm;
    data->num_media = 0;
    for (size_t i = 0; i < kNumMediaSizes; i++)
        data->media[data->num_media++] = kMediaSizes[i].pwgName;
    data->media[data->num_media++] = kCustomMin;
    data->media[data->num_media++] = kCustomMax;
    data->num_source = 1;
    data->source[0] = "main";
    fill_media(data->media_default, kDefaultMedia);
    data->media_ready[0] = data->media_default;
    data->num_type = 0;
    for (size_t i = 0; i < kNumPaperWeights; i++)
        data->type[data->num_type++] = kPaperWeights[i].mediaType;

    // The printer has no lamp or beeper the stream can drive; the request and
    // its message are shown where the application shows what happens: its
    // log and the printer's web page.
    data->identify_cb = identify;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->has_supplies = true;
    // The printer's own icons on its web page and in printer-icons, for
    // clients that show printers by their pictures.
    const struct {
        const unsigned char* png;
        size_t size;
    } icons[] = {{kIcon48, kIcon48Size}, {kIcon128, kIcon128Size}, {kIcon512, kIcon512Size}};
    for (size_t i = 0; i < 3; i++) {
        data->icons[i].filename[0] = '\0';
        data->icons[i].data = icons[i].png;
        data->icons[i].datalen = icons[i].size;
    }

    data->darkness_supported = static_cast<int>(kNumDensityLevels);
    data->darkness_default = kDefaultDarkness;
    data->darkness_configured = 50;
    return true;
}

const char* autoadd_callback(const char*, const char*, const char* deviceId, void*) {
    const Model* model = model_for_device_id(deviceId);
    return model ? model->driver : nullptr;
}

// The server's system object, with the server settings (-o name=value) that
// PAPPL's own default takes, and the PDF filter, which PAPPL accepts only
// before the system runs.
// Whether PAPPL can move the log aside when it grows: only a file of its
// own, one it opens (and creates) as it would.
bool log_file_can_rotate(const char* path) {
    if (!path || strcmp(path, "-") == 0 || strcmp(path, "syslog") == 0)
        return false;
    int fd = open(path, O_CREAT | O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct stat info;
    bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    return regular;
}

pappl_system_t* system_callback(int numOptions, cups_option_t* options, void*) {
    const char* baseName = "tarnwel-printer-app";
    auto option = [&](const char* name) { return cupsGetOption(name, numOptions, options); };
    std::string settingsError;
    if (!parse_server_settings(numOptions, options, settingsError)) {
        fprintf(stderr, "%s: %s\n", baseName, settingsError.c_str());
        return nullptr;
    }
    pappl_loglevel_t logLevel = PAPPL_LOGLEVEL_WARN;
    if (const char* v = option("log-level")) {
        static const struct {
            const char* name;
            pappl_loglevel_t level;
        } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                      {"error", PAPPL_LOGLEVEL_ERROR},
                      {"warn", PAPPL_LOGLEVEL_WARN},
                      {"info", PAPPL_LOGLEVEL_INFO},
                      {"debug", PAPPL_LOGLEVEL_DEBUG}};
        for (const auto& l : levels)
            if (strcmp(v, l.name) == 0)
                logLevel = l.level;
    }
    pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
    if (const char* v = option("server-options")) {
        static const struct {
            const char* name;
            pappl_soptions_t add, remove;
        } names[] = {
            {"none", 0, ~0u},
            {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
            {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
            {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
            {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
            {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
            {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
            {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
            {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
            {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
            {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0},
        };
        std::string list = v;
        size_t pos = 0;
        while (pos <= list.size()) {
            size_t end = list.find(',', pos);
            if (end == std::string::npos)
                end = list.size();
            std::string item = list.substr(pos, end - pos);
            for (const auto& n : names)
                if (item == n.name)
                    soptions = (soptions & ~n.remove) | n.add;
            pos = end + 1;
        }
    }
    set_tls_offered(!(soptions & PAPPL_SOPTIONS_NO_TLS));
    int port = 0;
    if (const char* v = option("server-port")) {
        char* end = nullptr;
        long p = strtol(v, &end, 10);
        if (p < 0 || p > 65535 || *end) {
            fprintf(stderr, "%s: Bad 'server-port' value.\n", baseName);
            return nullptr;
        }
        port = static_cast<int>(p);
    }
    std::string spool;
    if (const char* v = option("spool-directory")) {
        spool = v;
    } else if (getuid() == 0) {
        spool = "/var/spool/tarnwel-printer-app";
        mkdir(spool.c_str(), 0700);
    } else if (const char* home = getenv("HOME")) {
        std::string config = std::string(home) + "/.config";
        mkdir(config.c_str(), 0700);
        spool = config + "/" + baseName + ".d";
    } else {
        spool = std::string(papplGetTempDir()) + "/" + baseName + std::to_string(getuid()) + ".d";
    }

    pappl_system_t* system =
        papplSystemCreate(soptions, baseName, port, "_print,_universal", spool.c_str(),
                          option("log-file"), logLevel, option("auth-service"), false);
    if (!system)
        return nullptr;
    if (const char* v = option("admin-group"))
        papplSystemSetAdminGroup(system, v);
    // The folders of the server's own files, which no device may reach: the
    // spool, the state, and the TLS keys PAPPL keeps under $HOME/.cups.
    set_spool_folder(spool);
    const std::string statePath = state_file_path(baseName);
    add_private_folder(statePath.substr(0, statePath.find_last_of('/')));
    if (const char* home = getenv("HOME"))
        add_private_folder(std::string(home) + "/.cups");
    if (std::string problem = file_device_directory_problem(); !problem.empty()) {
        fprintf(stderr, "%s: %s\n", baseName, problem.c_str());
        papplSystemDelete(system);
        return nullptr;
    }
    // Connections served at once: more wait to be accepted, with no thread.
    papplSystemSetMaxClients(system, server_settings().maxClients);
    // PAPPL moves a log of 1 MB aside (to NAME.O, over the one before);
    // 0 keeps one log that grows.
    if (const char* v = option("log-max-size")) {
        char* end = nullptr;
        long long size = strtoll(v, &end, 10);
        if (size < 0 || *end) {
            fprintf(stderr, "%s: Bad 'log-max-size' value.\n", baseName);
            papplSystemDelete(system);
            return nullptr;
        }
        papplSystemSetMaxLogSize(system, static_cast<size_t>(size));
    }
    // PAPPL 1.3.1 moves a log aside by renaming the file and opening it
    // again. Standard error, a device, a pipe or a file it could not open
    // (it then writes to standard error) cannot be moved: PAPPL would try at
    // 1 MB, close standard error and wait for ever on the lock of its own
    // log (every request then hangs, or the log goes to whatever client is
    // given descriptor 2 next). Such a log is never rotated (held by
    // AppLog.OnStandardErrorItGrowsPastPapplsRotationAndTheServerAnswers).
    if (!log_file_can_rotate(option("log-file")))
        papplSystemSetMaxLogSize(system, 0);
    if (const char* v = option("server-hostname"))
        papplSystemSetHostName(system, v);
    if (!option("private-server"))
        papplSystemAddListeners(system, option("listen-hostname"));

    papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", print_pdf, nullptr);
    watch_unreachable_printers(system);
    add_system_web_pages(system);
    // (Never destroyed, as PAPPL keeps it: its threads may still read it while
    // the program exits.)
    static std::vector<pappl_pr_driver_t>& drivers = *new std::vector<pappl_pr_driver_t>;
    for (size_t i = 0; i < kNumModels; i++)
        drivers.push_back({kModels[i].driver, kModels[i].makeModel, kModels[i].deviceId, nullptr});
    papplSystemSetPrinterDrivers(system, static_cast<int>(drivers.size()), drivers.data(),
                                 autoadd_callback, printer_created, driver_callback, nullptr);
    // After the drivers: loading the state sets the printers up again.
    keep_state(system, statePath);
    return system;
}

}  // namespace

int main(int argc, char* argv[]) {
    // A filter or printer that goes away must not take the server with it.
    signal(SIGPIPE, SIG_IGN);
    // PAPPL runs every client and every job in a thread of its own, and
    // glibc gives threads that meet in malloc arenas of their own, up to
    // eight per processor, each keeping what it once held. A print server
    // allocates little per page; one arena keeps its memory the same after
    // a thousand jobs as after the busiest moment of the first few.
    mallopt(M_ARENA_MAX, 1);

    std::vector<pappl_pr_driver_t> drivers;
    for (size_t i = 0; i < kNumModels; i++)
        drivers.push_back({kModels[i].driver, kModels[i].makeModel, kModels[i].deviceId, nullptr});
    // PAPPL 1.3.1's web pages crash on a null footer.
    return papplMainloop(argc, argv, TARNWEL_VERSION,
                         "Tarnwel printer application, a driver for the Tarnwel laser printers.",
                         static_cast<int>(drivers.size()), drivers.data(), autoadd_callback,
                         driver_callback, "passwd", password_subcommand, system_callback, nullptr,
                         nullptr);
}
