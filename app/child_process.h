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

}  // namespace tarnwel

#endif
