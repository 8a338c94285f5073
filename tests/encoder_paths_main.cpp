// SPDX-License-Identifier: Apache-2.0
// encoder_paths: compares every encoder path this build has and this CPU
// runs with the portable one on random lines, and checks which paths ran.
// It needs nothing but the encoder, so that it is built for 32-bit x86 and
// run under emulated CPUs as well as here.
//
//   encoder_paths [--require "portable sse2 ..."] [--absent "avx512 ..."]
//                 [--lines N] [--seed N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "encoder_paths.h"

int main(int argc, char** argv) {
    std::string require, absent;
    int lines = 20000;
    unsigned seed = 20261211;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            fprintf(stderr,
                    "usage: encoder_paths [--require PATHS] [--absent PATHS] [--lines N] "
                    "[--seed N]\n");
            return 2;
        }
        if (strcmp(a, "--require") == 0)
            require = value;
        else if (strcmp(a, "--absent") == 0)
            absent = value;
        else if (strcmp(a, "--lines") == 0)
            lines = atoi(value);
        else if (strcmp(a, "--seed") == 0)
            seed = static_cast<unsigned>(strtoul(value, nullptr, 10));
        else {
            fprintf(stderr, "encoder_paths: unknown option %s\n", a);
            return 2;
        }
        i++;
    }
    std::string ran = encoder_paths::available_names();
    printf("encoder paths here: %s\n", ran.c_str());
    std::string missing = encoder_paths::missing(require.c_str());
    if (!missing.empty()) {
        fprintf(stderr, "encoder_paths: required but not run here: %s\n", missing.c_str());
        return 1;
    }
    // A path that should be missing here and is not: the CPU check is wrong.
    std::string unexpected;
    for (tarnwel::PackBitsPath p : encoder_paths::available())
        if ((" " + absent + " ").find(std::string(" ") + tarnwel::packbits_path_name(p) + " ") !=
            std::string::npos)
            unexpected += std::string(" ") + tarnwel::packbits_path_name(p);
    if (!unexpected.empty()) {
        fprintf(stderr, "encoder_paths: runs where the CPU lacks it:%s\n", unexpected.c_str());
        return 1;
    }
    std::string why = encoder_paths::compare_random_lines(seed, lines);
    if (!why.empty()) {
        fprintf(stderr, "encoder_paths: %s\n", why.c_str());
        return 1;
    }
    printf("%d random lines: every path wrote the portable path's bytes\n", lines);
    return 0;
}
