// SPDX-License-Identifier: Apache-2.0
// The server's own settings beyond PAPPL's: who may administer it from the
// network, where file: devices may write, and a limit on every resource a
// client can consume. Each is a server option (-o name=value) with a default
// as safe as cupsd's; they are read once, when the server starts.
#ifndef TARNWEL_APP_SERVER_SETTINGS_H
#define TARNWEL_APP_SERVER_SETTINGS_H

#include <cups/cups.h>

#include <string>
#include <vector>

namespace tarnwel {

struct ServerSettings {
    // admin-password-file: "name:hash" lines (crypt(3) hashes, as
    // mkpasswd or `tarnwel-printer-app passwd` writes them). Without it no
    // one administers the server from another machine.
    std::string passwordFile;
    // file-device-directory: the one folder file: device URIs may write
    // into; empty, file: devices are refused.
    std::string fileDeviceDirectory;
    // max-jobs / max-printer-jobs: jobs not yet ended (pending, held,
    // printing), on all printers and on one.
    int maxJobs = 500;
    int maxPrinterJobs = 100;
    // max-document-size: bytes of one document.
    long long maxDocumentBytes = 256LL << 20;
    // min-spool-free: a document is refused, or its upload stopped, before
    // the spool's file system has less than this left.
    long long minSpoolFree = 64LL << 20;
    // max-clients: connections served at once; more wait to be accepted.
    int maxClients = 100;
    // stream-timeout: seconds a client may send nothing in the middle of a
    // document.
    int streamTimeout = 60;
    // max-page-time: seconds for one page, rendered or received.
    int maxPageTime = 300;
    // The spool, whose room is watched.
    std::string spoolDirectory;
    // Folders no device may reach: the state, the spool and the TLS keys.
    std::vector<std::string> privateFolders;
};

// The settings of this server (defaults until parse_server_settings).
const ServerSettings& server_settings();

// Reads the server options into the settings; false with a message in words
// for an option that has a bad value.
bool parse_server_settings(int numOptions, cups_option_t* options, std::string& error);

// Notes a folder that no device may reach (after parse_server_settings).
void add_private_folder(const std::string& folder);

// Notes the spool folder (after parse_server_settings): watched for room,
// and private.
void set_spool_folder(const std::string& folder);

// Why the file-device-directory cannot be used (it holds or lies in one of
// the private folders), or empty.
std::string file_device_directory_problem();

// Whether `path` is `folder` or lies in it (both resolved already).
bool path_within(const std::string& path, const std::string& folder);

// A size with an optional k, m or g (of 1024); -1 if it is not one.
long long parse_size(const char* text);

}  // namespace tarnwel

#endif
