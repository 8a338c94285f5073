// SPDX-License-Identifier: Apache-2.0
// Starting a helper program of a job (the filter, Ghostscript) with its
// standard streams on pipes, and nothing else of the server's.
#ifndef TARNWEL_APP_CHILD_PROCESS_H
#define TARNWEL_APP_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarnwel {

// The server's ends of the child's pipes, close-on-exec; -1 where there is none.
struct ChildPipes {
    int in = -1;   // the child's standard input (withInput), else /dev/null
    int out = -1;  // its standard output
    int err = -1;  // its standard error
};

// Starts argv[0] (searched on the PATH when `searchPath`) with `envp`, the
// default signal dispositions and an empty signal mask. Returns 0, or an errno
// value with nothing left open.
int spawn_with_pipes(const std::vector<std::string>& argv, char* const envp[], bool searchPath,
                     bool withInput, pid_t& pid, ChildPipes& pipes);

// Waits for the child; returns its exit status, or 128 + the signal that
// killed it.
int wait_for_child(pid_t pid);

// Cuts what a child writes to its standard error into lines, as they come.
class LogLines {
  public:
    // Hands every line completed by `data` to `line`, without the newline.
    template <class Sink>
    void add(const char* data, size_t size, Sink&& line) {
        pending_.append(data, size);
        size_t start = 0, nl;
        while ((nl = pending_.find('\n', start)) != std::string::npos) {
            line(pending_.substr(start, nl - start));
            start = nl + 1;
        }
        pending_.erase(0, start);
    }
    // The last line, when the child ended without a newline.
    template <class Sink>
    void finish(Sink&& line) {
        if (!pending_.empty())
            line(pending_);
        pending_.clear();
    }

  private:
    std::string pending_;
};

}  // namespace tarnwel

#endif
