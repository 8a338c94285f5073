// SPDX-License-Identifier: Apache-2.0
#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

extern char** environ;

Bytes hex_bytes(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t* data, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(buf, sizeof(buf), i ? " %02X" : "%02X", data[i]);
        s += buf;
    }
    return s;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual) {
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        i++;
    size_t from = i > 8 ? i - 8 : 0;
    auto window = [&](const Bytes& b) {
        size_t to = std::min(b.size(), i + 16);
        return from < to ? to_hex(b.data() + from, to - from) : std::string("(end)");
    };
    return ::testing::AssertionFailure()
           << "first difference at byte offset " << i << " (sizes: expected " << expected.size()
           << ", actual " << actual.size() << ")\n  expected from " << from << ": "
           << window(expected) << "\n  actual   from " << from << ": " << window(actual);
}

std::string temp_dir() {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tarnwel-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        abort();
    std::string dir(buf.data());
    static std::vector<std::string> made;
    if (made.empty())
        atexit([] {
            for (const std::string& d : made)
                if (system(("rm -rf '" + d + "'").c_str()) != 0) {
                }
        });
    made.push_back(dir);
    return dir;
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

static std::string ppd_option(const std::string& key, const std::string& text,
                              const std::string& def, const std::vector<std::string>& choices) {
    std::string s =
        "*OpenUI *" + key + "/" + text + ": PickOne\n*Default" + key + ": " + def + "\n";
    for (const std::string& c : choices)
        s += "*" + key + " " + c + "/" + c + ": \"\"\n";
    s += "*CloseUI: *" + key + "\n";
    return s;
}

std::string make_ppd(const std::string& density, const std::string& weight,
                     const std::string& duplex) {
    std::string s =
        "*PPD-Adobe: \"4.3\"\n"
        "*FormatVersion: \"4.3\"\n"
        "*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n"
        "*LanguageEncoding: ISOLatin1\n"
        "*PCFileName: \"TEST.PPD\"\n"
        "*Manufacturer: \"Tarnwel\"\n"
        "*Product: \"(Test)\"\n"
        "*ModelName: \"Tarnwel Test\"\n"
        "*NickName: \"Tarnwel Test\"\n"
        "*PSVersion: \"(3010.000) 0\"\n"
        "*cupsFilter: \"application/vnd.cups-raster 0 rastertotarnwel\"\n";
    if (!density.empty())
        s += ppd_option("PrintDensity", "Print Density", density,
                        {"Dark", "MediumDark", "Medium", "MediumLight", "Light", density});
    if (!weight.empty())
        s += ppd_option("PaperWeight", "Paper Weight", weight,
                        {"VeryHeavy", "MediumHeavy", "Medium", weight});
    if (!duplex.empty())
        s += ppd_option("Duplex", "Two-Sided", duplex,
                        {"None", "DuplexNoTumble", "DuplexTumble", duplex});
    return s;
}

std::string write_ppd(const std::string& density, const std::string& weight,
                      const std::string& duplex) {
    std::string path = temp_dir() + "/test.ppd";
    write_file(path, make_ppd(density, weight, duplex));
    return path;
}

cups_page_header2_t make_header(unsigned bytesPerLine, unsigned height, unsigned dpi) {
    cups_page_header2_t h;
    memset(&h, 0, sizeof(h));
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    h.PageSize[0] = 595;
    h.PageSize[1] = 842;
    h.ImagingBoundingBox[2] = 595;
    h.ImagingBoundingBox[3] = 842;
    h.NumCopies = 1;
    h.cupsWidth = bytesPerLine * 8;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 1;
    h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = bytesPerLine;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.cupsNumColors = 1;
    strcpy(h.cupsPageSizeName, "A4");
    return h;
}

std::string write_raster(const std::vector<RasterPage>& pages, cups_mode_t mode) {
    std::string path = temp_dir() + "/in.ras";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, mode);
    for (const RasterPage& p : pages) {
        cups_page_header2_t h = p.header;
        cupsRasterWriteHeader2(r, &h);
        // libcups's writer divides by the line length.
        if (!p.pixels.empty() && h.cupsBytesPerLine > 0)
            cupsRasterWritePixels(r, const_cast<uint8_t*>(p.pixels.data()),
                                  static_cast<unsigned>(p.pixels.size()));
    }
    cupsRasterClose(r);
    close(fd);
    return path;
}

std::string raster_bytes(const std::vector<RasterPage>& pages, cups_mode_t mode) {
    return read_file(write_raster(pages, mode));
}

std::vector<std::string> program_command(const std::string& program) {
    std::vector<std::string> words;
    std::istringstream emulator(TARNWEL_EMULATOR);
    for (std::string w; emulator >> w;)
        words.push_back(w);
    words.push_back(program);
    return words;
}

std::string program_shell_command(const std::string& program) {
    std::string cmd;
    for (const std::string& w : program_command(program))
        cmd += (cmd.empty() ? "'" : " '") + w + "'";
    return cmd;
}

bool emulated() {
    return TARNWEL_EMULATOR[0] != '\0';
}

FilterProcess::FilterProcess(const std::vector<std::string>& args, const std::string& ppd,
                             Output output) {
    std::vector<std::string> argv_s = program_command(TARNWEL_FILTER_PATH);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_s;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "PPD=", 4) != 0)
            env_s.push_back(*e);
    if (!ppd.empty())
        env_s.push_back("PPD=" + ppd);
    std::vector<char*> envp;
    for (std::string& e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // Output goes to files, so that the filter never waits on us.
    dir_ = temp_dir();
    int out = -1, outRead = -1;
    switch (output) {
        case Output::File:
            out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            break;
        case Output::DevFull:
            out = open("/dev/full", O_WRONLY | O_CLOEXEC);
            break;
        case Output::Closed:
            break;
        case Output::Pipe: {
            int p[2];
            if (pipe2(p, O_CLOEXEC))
                abort();
            outRead = p[0];
            out = p[1];
            break;
        }
    }
    // Every descriptor is close-on-exec, so that filters started by other
    // threads do not hold this one's pipes open; dup2 clears it on 0, 1, 2.
    int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in[2];
    if ((out < 0 && output != Output::Closed) || err < 0 || pipe2(in, O_CLOEXEC))
        abort();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&fa, out, 1);
    else
        posix_spawn_file_actions_addclose(&fa, 1);
    posix_spawn_file_actions_adddup2(&fa, err, 2);
    for (int fd : {in[0], in[1], out, err, outRead})
        if (fd >= 0)
            posix_spawn_file_actions_addclose(&fa, fd);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0)
        abort();
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    if (out >= 0)
        close(out);
    close(err);
    in_ = in[1];
    out_pipe_ = outRead;
    signal(SIGPIPE, SIG_IGN);
}

FilterProcess::~FilterProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        finish();
    }
}

void FilterProcess::write_input(const std::string& data) {
    size_t done = 0;
    while (in_ >= 0 && done < data.size()) {
        ssize_t n = write(in_, data.data() + done, data.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

bool FilterProcess::wait_input_taken() {
    for (int i = 0; i < 30000; i++) {
        int unread = 0;
        if (in_ < 0 || ioctl(in_, FIONREAD, &unread) != 0)
            return false;
        if (unread == 0)
            return true;
        usleep(1000);
    }
    return false;
}

void FilterProcess::close_input() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

void FilterProcess::signal_process(int sig) {
    kill(pid_, sig);
}

bool FilterProcess::wait_for_stderr(const std::string& text) {
    for (int i = 0; i < 3000; i++) {
        if (read_file(dir_ + "/err").find(text) != std::string::npos)
            return true;
        usleep(10000);
    }
    return false;
}

void FilterProcess::close_stdout_pipe() {
    if (out_pipe_ >= 0)
        close(out_pipe_);
    out_pipe_ = -1;
}

RunResult FilterProcess::finish() {
    close_input();
    RunResult r;
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(dir_ + "/out");
    r.err = read_file(dir_ + "/err");
    close_stdout_pipe();
    return r;
}

RunResult run_filter(const std::vector<std::string>& args, const std::string& ppd,
                     const std::string& input) {
    FilterProcess p(args, ppd);
    p.write_input(input);
    return p.finish();
}

RunResult run_filter_on(const std::vector<RasterPage>& pages, const std::string& ppd,
                        const std::string& options) {
    return run_filter({"42", "user", "title", "1", options}, ppd, raster_bytes(pages));
}

int count_lines_starting(const std::string& text, const std::string& prefix) {
    int n = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            n++;
    return n;
}

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        abort();
    close(fd);
    return ntohs(a.sin_port);
}

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

RunResult run_shell(const std::string& cmd) {
    RunResult o;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return o;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        o.out.append(buf, n);
    int st = pclose(p);
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return o;
}

// A folder CUPS accepts for filters and backends: owned by root, not writable
// by others, readable by the lp user that cupsd runs filters as.
std::string cups_server_bin() {
    static std::string dir;
    if (!dir.empty())
        return dir;
    dir = temp_dir();
    chmod(dir.c_str(), 0755);
    std::string sb = dir + "/sb";
    run_shell("mkdir -p '" + sb + "/filter' '" + sb + "/backend' && chmod -R 755 '" + sb + "'");
    std::string system = run_shell("cups-config --serverbin").out;
    system.erase(system.find_last_not_of("\n ") + 1);
    run_shell("for f in '" + system + "'/filter/*; do ln -s \"$f\" '" + sb + "/filter/'; done");
    for (const char* d : {"daemon", "notifier", "monitor", "cgi-bin", "driver"})
        run_shell("ln -s '" + system + "/" + d + "' '" + sb + "/" + d + "' 2>/dev/null");
    // Printers on a socket, and IPP printers as a client finds them
    // (cups-browsed's queues print through implicitclass).
    for (const char* backend : {"socket", "ipp", "ipps", "dnssd", "implicitclass"})
        run_shell("test -e '" + system + "/backend/" + backend + "' && ln -s '" + system +
                  "/backend/" + backend + "' '" + sb + "/backend/" + backend + "'");
    // cupsd wants the filter itself owned by root with no write bits for others.
    run_shell("rm -f '" + sb + "/filter/rastertotarnwel' && install -m 755 '" +
              std::string(TARNWEL_FILTER_PATH) + "' '" + sb + "/filter/rastertotarnwel'");
    write_file(dir + "/cups-files.conf", "ServerBin " + sb + "\n");
    return dir;
}
