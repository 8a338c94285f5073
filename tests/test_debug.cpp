// SPDX-License-Identifier: Apache-2.0
// Diagnostic dumps on standard error.
#include <sstream>

#include "tarnwel_debug.h"
#include "tarnwel_job.h"
#include "test_util.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

TEST(DumpJobInfo, FiveOrSixLines) {
    char a0[] = "f", a1[] = "99", a2[] = "bob", a3[] = "Title", a4[] = "3", a5[] = "x=y",
         a6[] = "/tmp/in.ras", bad[] = "two";
    char* argv[] = {a0, a1, a2, a3, a4, a5, a6, nullptr};

    testing::internal::CaptureStderr();
    dump_job_info(6, argv);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "job_id = 99\njob_user = bob\njob_name = Title\njob_copies = 3\njob_options = x=y\n");

    testing::internal::CaptureStderr();
    dump_job_info(7, argv);
    std::vector<std::string> l = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(l.size(), 6u);
    EXPECT_EQ(l[5], "job_filename = /tmp/in.ras");

    argv[4] = bad;
    testing::internal::CaptureStderr();
    dump_job_info(6, argv);
    EXPECT_EQ(lines_of(testing::internal::GetCapturedStderr())[3], "job_copies = 0");
}

TEST(PrintCupsHeaderInfo, FortySixLines) {
    cups_page_header2_t h = make_header(620, 7016);
    h.cupsReal[0] = 0.5f;
    h.AdvanceDistance = 0x80000000u;  // above 2147483647: printed negative
    h.cupsRowStep = 7;
    strcpy(h.MediaType, "Plain");
    testing::internal::CaptureStderr();
    printCupsHeaderInfo(h);
    std::vector<std::string> l = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(l.size(), 46u);
    for (const std::string& s : l)
        EXPECT_EQ(s.compare(0, 7, "DEBUG: "), 0) << s;
    EXPECT_EQ(l[0], "DEBUG: startPage...");
    EXPECT_EQ(l[3], "DEBUG: MediaType = \"Plain\"");
    EXPECT_EQ(l[5], "DEBUG: AdvanceDistance = -2147483648");
    EXPECT_EQ(l[10], "DEBUG: HWResolution = [ 600 600 ]");
    EXPECT_EQ(l[24], "DEBUG: PageSize = [ 595 842 ]");
    EXPECT_EQ(l[31], "DEBUG: cupsRowStep = 7");
    EXPECT_EQ(l[37], "DEBUG: cupsRowStep = 7");
    EXPECT_EQ(l[39], "DEBUG: cupsPageSizeName = A4");
    EXPECT_EQ(l[44], "DEBUG: cupsReal0 = 0.500000");
    EXPECT_EQ(l[45], "DEBUG: cupsReal1 = 0.000000");
}

TEST(PrintCupsHeaderInfo, UnterminatedStringStopsAtItsArray) {
    cups_page_header2_t h = make_header(10, 10);
    memset(h.MediaClass, 'A', sizeof(h.MediaClass));
    memset(h.MediaColor, 'B', sizeof(h.MediaColor));  // the next field, unterminated too
    memset(h.cupsPageSizeName, 'C', sizeof(h.cupsPageSizeName));
    testing::internal::CaptureStderr();
    printCupsHeaderInfo(h);
    std::vector<std::string> l = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(l.size(), 46u);
    EXPECT_EQ(l[1], "DEBUG: MediaClass = \"" + std::string(64, 'A') + "\"");
    EXPECT_EQ(l[39], "DEBUG: cupsPageSizeName = " + std::string(64, 'C'));
}

TEST(DebugJobParams, DuplexAndCopies) {
    Tarnwel_Job job(stdout);
    job.m_jobParams.duplex = DUPLEXMODE_LONGEDGE;
    job.m_jobParams.copies = 65535;
    testing::internal::CaptureStderr();
    job.debug_JobParams();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "JobParams::duplex = <1>\nJobParams::copies = <65535>\n");
}

}  // namespace
