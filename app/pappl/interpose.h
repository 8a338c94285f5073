// SPDX-License-Identifier: Apache-2.0
// The program stands in for some of libpappl's and libcups's own functions
// by defining them under the same names (the build exports them, so that the
// dynamic linker prefers them for the libraries' calls too). A stand-in
// reaches the library's definition with next_definition().
#ifndef TARNWEL_APP_INTERPOSE_H
#define TARNWEL_APP_INTERPOSE_H

#include <dlfcn.h>

#include <cstdlib>

namespace tarnwel {

// The next definition of `name` after the program's: the library's.
template <class Fn>
Fn next_definition(const char* name) {
    void* fn = dlsym(RTLD_NEXT, name);
    if (!fn)
        abort();  // cannot happen: the program is linked with the library that has it
    return reinterpret_cast<Fn>(fn);
}

}  // namespace tarnwel

#endif
