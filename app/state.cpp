// SPDX-License-Identifier: Apache-2.0
#include "state.h"

#include "pappl/fixes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tarnwel {

std::string state_file_path(const char* baseName) {
    std::string name = std::string(baseName) + ".state";
    if (getuid() == 0)
        return "/var/lib/" + name;
    if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && access(xdg, X_OK) == 0)
        return std::string(xdg) + "/" + name;
    if (const char* home = getenv("HOME")) {
        std::string config = std::string(home) + "/.config";
        if (access(config.c_str(), X_OK) == 0 ||
            (errno == ENOENT && mkdir(config.c_str(), 0700) == 0))
            return config + "/" + name;
    }
    // Lost on the next reboot, but better than no state at all.
    return std::string(papplGetTempDir()) + "/" + baseName + std::to_string(getuid()) + ".state";
}

// PAPPL writes the state without looking at whether its writes succeeded; it
// writes it here through a pipe into memory, and the copy to the disk checks
// every step, so a full disk or a crash can never put a cut state in place of
// a whole one.
static bool render_state(pappl_system_t* system, const std::string& folder, std::string& out) {
    std::string fifo = folder + "/.tarnwel-state-XXXXXX";
    if (!mkdtemp(&fifo[0]))
        return false;
    std::string dir = fifo;
    fifo += "/state";
    if (mkfifo(fifo.c_str(), 0600) != 0) {
        rmdir(dir.c_str());
        return false;
    }
    // Both ends are open before PAPPL opens its own writing end: the reader
    // sees the end of the state only when that one and this one are closed,
    // and nothing waits on an open that never comes.
    int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int holdEnd = readEnd >= 0 ? open(fifo.c_str(), O_WRONLY | O_CLOEXEC) : -1;
    bool saved = false, readOk = false;
    if (holdEnd >= 0 && fcntl(readEnd, F_SETFL, 0) == 0) {
        std::thread reader([&] {
            char buffer[65536];
            ssize_t n;
            while ((n = read(readEnd, buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
                if (n > 0)
                    out.append(buffer, static_cast<size_t>(n));
            readOk = n == 0;
        });
        saved = papplSystemSaveState(system, fifo.c_str());
        close(holdEnd);
        holdEnd = -1;
        reader.join();
    }
    if (holdEnd >= 0)
        close(holdEnd);
    if (readEnd >= 0)
        close(readEnd);
    unlink(fifo.c_str());
    rmdir(dir.c_str());
    return saved && readOk && !out.empty();
}

static bool write_whole(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool save_state_atomically(pappl_system_t* system, const char* path) {
    std::string target = path;
    std::string temporary = target + ".new";
    size_t slash = target.rfind('/');
    std::string folder =
        slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
    std::string state;
    if (!render_state(system, folder, state)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to write the state: %s", strerror(errno));
        return false;
    }
    // The state holds the administrator's password hash: readable by the
    // server's user only.
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write_whole(fd, state) && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
        if (written)
            error = errno;
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "Unable to save the state to '%s': %s; the last state saved stays.",
                 target.c_str(), strerror(error));
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// A server killed in the middle of a save leaves its pipe's folder behind;
// the next start removes it.
static void remove_cut_saves(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    const std::string prefix = ".tarnwel-state-";
    while (dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0 ||
            strlen(entry->d_name) != prefix.size() + 6)
            continue;
        std::string left = folder + "/" + entry->d_name;
        unlink((left + "/state").c_str());
        rmdir(left.c_str());
    }
    closedir(dir);
}

void keep_state(pappl_system_t* system, const std::string& path) {
    // The path lives as long as the server, and past it (never destroyed):
    // PAPPL hands it to every save.
    static std::string& statePath = *new std::string;
    statePath = path;
    size_t slash = path.rfind('/');
    remove_cut_saves(slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash));
    // A ".new" file left by a crash in the middle of a save is never read:
    // the state file beside it is the last one written whole.
    load_state(system, statePath);
    papplSystemSetSaveCallback(
        system,
        [](pappl_system_t* s, void* data) {
            return save_state_atomically(s, static_cast<const std::string*>(data)->c_str());
        },
        &statePath);
}

}  // namespace tarnwel
