// SPDX-License-Identifier: Apache-2.0
#include "server_settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace tarnwel {

namespace {

// Never destroyed: PAPPL's threads (a client's, a job's) may still read it
// while the program exits.
ServerSettings& settings = *new ServerSettings;

bool parse_count(const char* text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (!*text || *end || errno || v < low || v > high)
        return false;
    value = v;
    return true;
}

}  // namespace

const ServerSettings& server_settings() {
    return settings;
}

long long parse_size(const char* text) {
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (end == text || v < 0 || errno)
        return -1;
    int shift = 0;
    if (*end == 'k' || *end == 'K')
        shift = 10;
    else if (*end == 'm' || *end == 'M')
        shift = 20;
    else if (*end == 'g' || *end == 'G')
        shift = 30;
    if (shift)
        end++;
    if (*end || v > (LLONG_MAX >> shift))
        return -1;
    return v << shift;
}

bool parse_server_settings(int numOptions, cups_option_t* options, std::string& error) {
    ServerSettings s;
    auto option = [&](const char* name) { return cupsGetOption(name, numOptions, options); };
    if (const char* v = option("admin-password-file"))
        s.passwordFile = v;
    if (const char* v = option("file-device-directory")) {
        char* real = realpath(v, nullptr);
        if (!real || v[0] != '/') {
            free(real);
            error = std::string("The file-device-directory \"") + v +
                    "\" is not an existing folder given by its full path.";
            return false;
        }
        s.fileDeviceDirectory = real;
        free(real);
    }
    const struct {
        const char* name;
        int* value;
        long long low, high;
    } counts[] = {
        {"max-jobs", &s.maxJobs, 1, 1000000},
        {"max-printer-jobs", &s.maxPrinterJobs, 1, 1000000},
        {"max-clients", &s.maxClients, 1, 32768},
        {"stream-timeout", &s.streamTimeout, 1, 86400},
        {"max-page-time", &s.maxPageTime, 1, 86400},
    };
    for (const auto& c : counts) {
        const char* v = option(c.name);
        if (!v)
            continue;
        long long value = 0;
        if (!parse_count(v, c.low, c.high, value)) {
            error = std::string("The ") + c.name + " \"" + v + "\" is not a number from " +
                    std::to_string(c.low) + " to " + std::to_string(c.high) + ".";
            return false;
        }
        *c.value = static_cast<int>(value);
    }
    const struct {
        const char* name;
        long long* value;
    } sizes[] = {
        {"max-document-size", &s.maxDocumentBytes},
        {"min-spool-free", &s.minSpoolFree},
    };
    for (const auto& z : sizes) {
        const char* v = option(z.name);
        if (!v)
            continue;
        long long value = parse_size(v);
        if (value < 0 || (value == 0 && z.value == &s.maxDocumentBytes)) {
            error = std::string("The ") + z.name + " \"" + v +
                    "\" is not a size (a number of bytes, or with k, m or g).";
            return false;
        }
        *z.value = value;
    }
    settings = s;
    return true;
}

void add_private_folder(const std::string& folder) {
    char* real = realpath(folder.c_str(), nullptr);
    settings.privateFolders.push_back(real ? real : folder);
    free(real);
}

bool path_within(const std::string& path, const std::string& folder) {
    return path == folder || folder == "/" ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

void set_spool_folder(const std::string& folder) {
    settings.spoolDirectory = folder;
    add_private_folder(folder);
}

std::string file_device_directory_problem() {
    const std::string& dir = settings.fileDeviceDirectory;
    if (dir.empty())
        return "";
    for (const std::string& p : settings.privateFolders)
        if (path_within(dir, p) || path_within(p, dir))
            return "The file-device-directory " + dir +
                   " holds or lies in the printer application's own files (" + p +
                   "): name a folder of its own.";
    return "";
}

}  // namespace tarnwel
