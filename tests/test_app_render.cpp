// SPDX-License-Identifier: Apache-2.0
// The printer application with a PDF that Ghostscript renders for hours: a
// page of forms nested thirty deep, each drawing the one below it twice.
// Cancelling the job stops Ghostscript and the filter within seconds, also a
// Ghostscript that ignores SIGTERM; a page that takes longer than the
// server's max-page-time (rendering, or stuck halfway through its lines) stops
// the job with a message in words. Each time nothing is left running, the
// printer got a whole stream or nothing, and the next job prints.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"
#include "stream_check.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSample = std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf";

// A one-page PDF whose page draws form `depth`, and form n draws form n - 1
// twice (form 0 is a small square): 2^depth squares, a few KB of file. At
// depth 18 Ghostscript takes about 3 s at 600 dpi, twice that per level more;
// at 30 it does not finish page 1 for hours.
std::string nested_forms_pdf(int depth) {
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /F " +
            std::to_string(5 + depth) + " 0 R >> >> /Contents 4 0 R >>",
    };
    auto stream = [](const std::string& dict, const std::string& data) {
        return "<< " + dict + "/Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
               "endstream";
    };
    objects.push_back(stream("", "q 1 0 0 1 100 100 cm /F Do Q\n"));
    for (int level = 0; level <= depth; level++) {
        const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 612 792] ";
        if (level == 0)
            objects.push_back(stream(form, "0 0 10 10 re f\n"));
        else
            objects.push_back(stream(
                form + "/Resources << /XObject << /F " + std::to_string(4 + level) + " 0 R >> >> ",
                "q /F Do Q q 1 0 0 1 1 1 cm /F Do Q\n"));
    }
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); i++) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char entry[32];
        snprintf(entry, sizeof(entry), "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    const std::string path = temp_dir() + "/nested.pdf";
    write_file(path, pdf);
    return path;
}

constexpr int kDepth = 30;

bool has_child(const AppServer& app, const std::string& name) {
    for (const std::string& child : app.children())
        if (child.substr(child.find(' ') + 1) == name)
            return true;
    return false;
}

// Submits the document as `name`; its job ID once Ghostscript renders it.
std::string start_rendering(const AppServer& app, const std::string& pdf, const std::string& name) {
    RunResult submitted =
        app.ipptool("submit-job.test", {{"format", "application/pdf"}, {"jobname", name}}, pdf);
    std::string jobId = ipp_value(submitted.out, "job-id");
    EXPECT_FALSE(jobId.empty()) << submitted.out;
    bool rendering = false;
    for (int i = 0; i < 200 && !rendering && !jobId.empty(); i++) {
        rendering = has_child(app, "gs");
        if (!rendering)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(rendering) << app.log();
    return rendering ? jobId : "";
}

// Waits up to `seconds` until the job has ended (PAPPL logs how it ended);
// false if it has not.
bool wait_for_end(const AppServer& app, const std::string& jobId, int seconds) {
    const std::string prefix = "[Job " + jobId + "] ";
    for (int i = 0; i < seconds * 20; i++) {
        const std::string log = app.log();
        for (const char* end : {"Completed, ", "Canceled, ", "Aborted, "})
            if (log.find(prefix + end) != std::string::npos)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The server's children still there after `seconds`: killed, so that a
// Ghostscript left rendering does not outlive the test.
std::vector<std::string> children_left(const AppServer& app, int seconds) {
    std::vector<std::string> left = app.wait_for_no_children(seconds);
    for (const std::string& child : left)
        kill(atoi(child.c_str()), SIGKILL);
    return left;
}

// Starts a server whose Ghostscript is a script (its `body`) named gs, so
// that the server's child still goes by that name; an empty body: the real
// one.
AppServerOptions with_gs_script(const std::string& body,
                                const std::vector<std::string>& serverOptions = {}) {
    AppServerOptions options;
    options.serverOptions = serverOptions;
    if (!body.empty())
        options.environment = {"TARNWEL_GS={dir}/script/gs"};
    return options;
}

void install_gs_script(const AppServer& app, const std::string& body) {
    if (body.empty())
        return;
    mkdir((app.dir() + "/script").c_str(), 0755);
    const std::string script = app.dir() + "/script/gs";
    write_file(script, "#!/bin/sh\n" + body + "\n");
    chmod(script.c_str(), 0755);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What reached the printer of a stopped job: nothing, or a whole stream.
void expect_whole_stream_or_nothing(const AppServer& app, const std::string& name) {
    const std::string out = app.output(name);
    if (!out.empty())
        decode_or_fail(out);
}

void expect_next_job_prints(const AppServer& app) {
    JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
    EXPECT_EQ(next.state, "completed") << next.ipptool.out << app.log();
    tarnwel::StreamJob decoded = decode_or_fail(app.output("next"));
    EXPECT_EQ(decoded.pages.size(), 3u);
}

}  // namespace

struct CancelCase {
    const char* name;
    const char* gsScript;  // what stands in for Ghostscript; "": Ghostscript
    bool killed;           // it does not end when asked, and is killed
};

void PrintTo(const CancelCase& c, std::ostream* os) {
    *os << c.name;
}

class AppRenderCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(AppRenderCancel, CancelStopsGhostscriptInTheMiddleOfAPage) {
    const CancelCase& c = GetParam();
    const std::string pdf = nested_forms_pdf(kDepth);
    AppServer app("tnml20", with_gs_script(c.gsScript));
    ASSERT_TRUE(app.running()) << app.log();
    install_gs_script(app, c.gsScript);
    const std::string jobId = start_rendering(app, pdf, "nested");
    ASSERT_FALSE(jobId.empty());
    // Ghostscript is well inside the page, and has sent nothing yet.
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const Clock::time_point canceled = Clock::now();
    RunResult cancel = app.ipptool("cancel-job-now.test", {{"jobid", jobId}});
    ASSERT_EQ(cancel.status, 0) << cancel.out;
    const bool ended = wait_for_end(app, jobId, 5);
    const double endedAfter = seconds_since(canceled);
    std::vector<std::string> left = children_left(app, 0);
    RecordProperty("ended_after_cancel_ms", static_cast<int>(endedAfter * 1000));
    EXPECT_TRUE(ended) << "the job had not ended 5 s after Cancel-Job\n" << app.log();
    EXPECT_TRUE(left.empty()) << "still running after the job ended: "
                              << testing::PrintToString(left);
    JobOutcome job = outcome(app.ipptool("job-state.test", {{"jobid", jobId}}));
    EXPECT_EQ(job.state, "canceled") << job.ipptool.out;
    EXPECT_EQ(app.log().find("it was killed") != std::string::npos, c.killed) << app.log();
    expect_whole_stream_or_nothing(app, "nested");
    expect_next_job_prints(app);
}

INSTANTIATE_TEST_SUITE_P(
    Ghostscript, AppRenderCancel,
    ::testing::Values(CancelCase{"EndsOnSigterm", "", false},
                      // An ignored signal stays ignored across exec.
                      CancelCase{"IgnoresSigterm", "trap '' TERM\nexec gs \"$@\"", true}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return info.param.name; });

struct PageTimeCase {
    const char* name;
    std::string (*document)();
    const char* gsScript;  // what stands in for Ghostscript; "": Ghostscript
    unsigned latePage;     // the page named in the message
    size_t printedPages;   // pages in the printer's stream (at least)
};

void PrintTo(const PageTimeCase& c, std::ostream* os) {
    *os << c.name;
}

std::string nested_forms() {
    return nested_forms_pdf(kDepth);
}

std::string sample() {
    return kSample;
}

class AppRenderPageTime : public ::testing::TestWithParam<PageTimeCase> {};

TEST_P(AppRenderPageTime, PageThatRendersTooLongStopsTheJob) {
    const PageTimeCase& c = GetParam();
    const std::string pdf = c.document();
    const int limit = 3;
    AppServer app("tnml20", with_gs_script(c.gsScript, {"max-page-time=" + std::to_string(limit)}));
    ASSERT_TRUE(app.running()) << app.log();
    install_gs_script(app, c.gsScript);
    const Clock::time_point submitted = Clock::now();
    const std::string jobId = start_rendering(app, pdf, "late");
    ASSERT_FALSE(jobId.empty());
    const Clock::time_point rendering = Clock::now();

    // Stopped once the limit is up, and not long after.
    const bool ended = wait_for_end(app, jobId, limit + 5);
    const double endedAfter = seconds_since(rendering);
    const double endedAfterSubmission = seconds_since(submitted);
    std::vector<std::string> left = children_left(app, 0);
    RecordProperty("ended_after_rendering_ms", static_cast<int>(endedAfter * 1000));
    EXPECT_TRUE(ended) << "the job had not ended " << limit + 5 << " s after it started\n"
                       << app.log();
    EXPECT_GE(endedAfterSubmission, limit);
    EXPECT_LT(endedAfter, limit + 3);
    EXPECT_TRUE(left.empty()) << "still running after the job ended: "
                              << testing::PrintToString(left);
    JobOutcome job = outcome(app.ipptool("job-state.test", {{"jobid", jobId}}));
    EXPECT_EQ(job.state, "aborted") << job.ipptool.out;
    EXPECT_EQ(job.message, "Page " + std::to_string(c.latePage) + " took more than " +
                               std::to_string(limit) +
                               " seconds to render; the job was stopped (max-page-time).")
        << job.ipptool.out;
    if (c.printedPages == 0) {
        expect_whole_stream_or_nothing(app, "late");
    } else {
        tarnwel::StreamJob decoded = decode_or_fail(app.output("late"));
        EXPECT_GE(decoded.pages.size(), c.printedPages);
    }
    // The next job gets Ghostscript itself.
    install_gs_script(app, c.gsScript[0] ? "exec gs \"$@\"" : "");
    expect_next_job_prints(app);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, AppRenderPageTime,
    ::testing::Values(PageTimeCase{"NestedForms", nested_forms, "", 1, 0},
                      // Page 1 of the sample comes whole and page 2 half
                      // (Letter at 600 dpi: 4.2 MB a page), then nothing.
                      PageTimeCase{"StallsInsidePage2", sample,
                                   "gs \"$@\" | head -c 6300000\nexec sleep 3600", 2, 1}),
    [](const ::testing::TestParamInfo<PageTimeCase>& info) { return info.param.name; });
