// SPDX-License-Identifier: Apache-2.0
// The server's state (its printers, their settings and the job history) kept
// in one file that a crash can never leave empty or half-written.
#ifndef TARNWEL_APP_STATE_H
#define TARNWEL_APP_STATE_H

#include <pappl/pappl.h>

#include <string>

namespace tarnwel {

// Where the state of a server run as the current user lives: the same place
// PAPPL's own main loop uses, so printers set up before are found again.
std::string state_file_path(const char* baseName);

// Loads the state from path (a missing file is a first start) and saves every
// later change there through a temporary file that replaces it whole.
void keep_state(pappl_system_t* system, const std::string& path);

// Writes the state to path atomically: a new file next to it, flushed to the
// disk, then renamed over the old one.
bool save_state_atomically(pappl_system_t* system, const char* path);

}  // namespace tarnwel

#endif
