// SPDX-License-Identifier: Apache-2.0
// Shared fixtures for the tests: hex byte strings, small PPDs and rasters
// written with libcups's own writer, and running the built filter as CUPS
// runs it.
#ifndef TARNWEL_TEST_UTIL_H
#define TARNWEL_TEST_UTIL_H

#include <cups/raster.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarnwel_cmdfunc.h"

using Bytes = std::vector<uint8_t>;

// "1B 26 42" -> {0x1B, 0x26, 0x42}; blanks and commas are ignored.
Bytes hex_bytes(const std::string& text);
std::string to_hex(const uint8_t* data, size_t n);
inline std::string to_hex(const Bytes& b) {
    return to_hex(b.data(), b.size());
}
inline Bytes to_bytes(const ByteString& b) {
    return Bytes(b.begin(), b.end());
}
Bytes concat(std::initializer_list<Bytes> parts);

// Equal byte strings, or a message naming the first differing offset and the
// bytes around it on both sides.
::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual);

// A fresh folder under the test's temporary folder, removed at exit.
std::string temp_dir();
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

// A PPD with the filter's three options and the given default choices; an
// empty choice leaves that option out.
std::string make_ppd(const std::string& density, const std::string& weight,
                     const std::string& duplex);
std::string write_ppd(const std::string& density = "Medium", const std::string& weight = "Medium",
                      const std::string& duplex = "None");

// A page header for 1-bit black raster: A4 at 600 dpi unless changed.
cups_page_header2_t make_header(unsigned bytesPerLine, unsigned height, unsigned dpi = 600);

struct RasterPage {
    cups_page_header2_t header;
    Bytes pixels;  // height x bytesPerLine
};

// A page of `height` lines of `bpl` bytes whose pixels are given by fn(line, byte).
template <typename F>
RasterPage make_page(unsigned bpl, unsigned height, F fn) {
    RasterPage p{make_header(bpl, height), Bytes(static_cast<size_t>(bpl) * height)};
    for (unsigned y = 0; y < height; y++)
        for (unsigned x = 0; x < bpl; x++)
            p.pixels[static_cast<size_t>(y) * bpl + x] = static_cast<uint8_t>(fn(y, x));
    return p;
}

// Writes pages with libcups's raster writer (mode as cupsRasterOpen takes it).
std::string write_raster(const std::vector<RasterPage>& pages,
                         cups_mode_t mode = CUPS_RASTER_WRITE);
std::string raster_bytes(const std::vector<RasterPage>& pages,
                         cups_mode_t mode = CUPS_RASTER_WRITE);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    Bytes out_bytes() const { return Bytes(out.begin(), out.end()); }
};

// The built filter, started as CUPS starts it, with standard input on a pipe
// the test writes.
class FilterProcess {
  public:
    // Where the filter's standard output goes.
    enum class Output {
        File,     // a file the test reads afterwards
        DevFull,  // /dev/full: every write fails, as on a full disk
        Closed,   // no standard output at all
        Pipe,     // a pipe the test reads, or stops reading (stdout_pipe())
    };
    // `args` after the program name; PPD in the environment unless empty.
    FilterProcess(const std::vector<std::string>& args, const std::string& ppd,
                  Output output = Output::File);
    int stdout_pipe() const { return out_pipe_; }
    void close_stdout_pipe();
    ~FilterProcess();
    void write_input(const std::string& data);
    // Waits (up to 30 s) until the filter has read everything written so
    // far, so that what is written next reaches it in a read of its own.
    bool wait_input_taken();
    void close_input();
    void signal_process(int sig);
    // Waits (up to 30 s) until the filter has written `text` to standard error.
    bool wait_for_stderr(const std::string& text);
    RunResult finish();  // closes the input and waits for the exit

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_pipe_ = -1;
    std::string dir_;
};

// Runs the built filter with these arguments (after the program name), the
// environment variable PPD (unset when empty) and `input` on standard input.
RunResult run_filter(const std::vector<std::string>& args, const std::string& ppd,
                     const std::string& input = "");
// The usual six-argument call with the options string.
RunResult run_filter_on(const std::vector<RasterPage>& pages, const std::string& ppd,
                        const std::string& options = "");

// A program of this build as a command: run directly, or through the
// emulator that runs cross-compiled tests (TARNWEL_EMULATOR).
std::vector<std::string> program_command(const std::string& program);
// The same as a shell command line, every word quoted.
std::string program_shell_command(const std::string& program);
// Whether the tests run under an emulator (a run of the filter then costs
// far more time, and its memory is the emulator's).
bool emulated();

// A TCP port on 127.0.0.1 that nothing listens on just now, for a server
// under test.
int free_loopback_port();

// Runs a shell command: its standard output and exit status.
RunResult run_shell(const std::string& cmd);
// One word for a shell command line, in single quotes.
std::string shell_quoted(const std::string& text);

// A ServerBin for cupsfilter and a private cupsd: the system's filters and
// backends with this build's filter in place of an installed one (a folder
// with cups-files.conf naming it).
std::string cups_server_bin();

// Number of lines of `text` that begin with `prefix`.
int count_lines_starting(const std::string& text, const std::string& prefix);

// Skips a test that cannot run on this machine, with the reason; CI sets
// TARNWEL_REQUIRE_WEB_TESTS=1, and there a missing browser, Node.js or
// network namespace is a fault of the machine's set-up, not a reason to let
// the tests that need them pass unseen as skipped: they fail.
#define SKIP_UNLESS_REQUIRED(why)                                                 \
    do {                                                                          \
        const char* required = getenv("TARNWEL_REQUIRE_WEB_TESTS");               \
        if (required && strcmp(required, "1") == 0)                               \
            FAIL() << "cannot run here (TARNWEL_REQUIRE_WEB_TESTS=1): " << (why); \
        GTEST_SKIP() << (why);                                                    \
    } while (0)

#endif
