// SPDX-License-Identifier: Apache-2.0
// Job parameters: defaults, PPD choices and the job's option string, and the
// template fields they patch.
#include <climits>
#include <cmath>
#include <limits>

#include "tarnwel_job.h"
#include "test_util.h"

namespace {

struct Parsed {
    JobParams params;
    std::string log;
};

// Runs parse_jobParams as the filter does for the first page, restoring the
// process-wide templates afterwards.
Parsed parse(const cups_page_header2_t& header, const std::string& ppdText,
             const std::string& options, const char* jobId = "17") {
    std::string path = temp_dir() + "/p.ppd";
    write_file(path, ppdText);
    ppd_file_t* ppd = ppdOpenFile(path.c_str());
    EXPECT_NE(ppd, nullptr);
    std::string a0 = "rastertotarnwel", a1 = jobId, a2 = "alice", a3 = "report", a4 = "1",
                a5 = options;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), a5.data(), nullptr};
    Tarnwel_Job job(stdout);
    testing::internal::CaptureStderr();
    job.parse_jobParams(header, ppd, 6, argv);
    Parsed p{job.m_jobParams, testing::internal::GetCapturedStderr()};
    ppdClose(ppd);
    return p;
}

class ParamsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = {szDarknessCmd, szPaperWeightCmd, szNumCopiesCmd, szPaperSizeCustomCmd};
    }
    void TearDown() override {
        szDarknessCmd = saved[0];
        szPaperWeightCmd = saved[1];
        szNumCopiesCmd = saved[2];
        szPaperSizeCustomCmd = saved[3];
    }
    std::vector<ByteString> saved;
};

TEST_F(ParamsTest, PrecedenceOfDefaultsPpdAndOptions) {
    struct Case {
        const char* name;
        const char *density, *weight, *duplex;  // PPD defaults; "" = option missing
        const char* options;
        int wantDensity, wantWeight;
        DUPLEXMODE wantDuplex;
    } cases[] = {
        {"PPD defaults", "Medium", "Medium", "None", "", 2, 3, DUPLEXMODE_NONE},
        {"options missing from the PPD", "", "", "", "", 2, 3, DUPLEXMODE_NONE},
        {"PPD choices", "Dark", "VeryHeavy", "DuplexNoTumble", "", 0, 0, DUPLEXMODE_LONGEDGE},
        {"PPD MediumDark is not Medium", "MediumDark", "MediumHeavy", "DuplexTumble", "", 1, 2,
         DUPLEXMODE_SHORTEDGE},
        {"PPD MediumLight", "MediumLight", "Medium", "None", "", 3, 3, DUPLEXMODE_NONE},
        {"PPD Light", "Light", "Medium", "None", "", 4, 3, DUPLEXMODE_NONE},
        {"option MediumLight", "Medium", "Medium", "None", "PrintDensity=MediumLight", 3, 3,
         DUPLEXMODE_NONE},
        {"option MediumDark", "Medium", "Medium", "None", "PrintDensity=MediumDark", 1, 3,
         DUPLEXMODE_NONE},
        {"option Medium over PPD Dark", "Dark", "VeryHeavy", "None",
         "PrintDensity=Medium PaperWeight=Medium", 2, 3, DUPLEXMODE_NONE},
        {"option Duplex=None over PPD DuplexTumble", "Medium", "Medium", "DuplexTumble",
         "Duplex=None", 2, 3, DUPLEXMODE_NONE},
        {"option DuplexNoTumble over PPD None", "Medium", "Medium", "None", "Duplex=DuplexNoTumble",
         2, 3, DUPLEXMODE_LONGEDGE},
        {"options among others", "Medium", "Medium", "None",
         "media=A4 PaperWeight=MediumHeavy Duplex=DuplexTumble PrintDensity=Light", 4, 2,
         DUPLEXMODE_SHORTEDGE},
        {"unknown choices keep values", "Bold", "Paper", "Sideways", "PrintDensity=Bold", 2, 3,
         DUPLEXMODE_NONE},
        {"PPD choices compare by prefix", "Darkest", "MediumHeavyCard", "DuplexTumbleX", "", 0, 2,
         DUPLEXMODE_SHORTEDGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(make_header(10, 10), make_ppd(c.density, c.weight, c.duplex), c.options);
        EXPECT_EQ(p.params.printDensity, c.wantDensity);
        EXPECT_EQ(p.params.paperWeight, c.wantWeight);
        EXPECT_EQ(p.params.duplex, c.wantDuplex);
        EXPECT_EQ(szDarknessCmd[4], 0x10 + c.wantDensity);
        EXPECT_EQ(szPaperWeightCmd[4], 0x10 + c.wantWeight);
    }
}

TEST_F(ParamsTest, LogLines) {
    Parsed p =
        parse(make_header(10, 10), make_ppd("Dark", "", "DuplexTumble"), "PaperWeight=VeryHeavy");
    EXPECT_NE(p.log.find("parse_jobParams_ppd (printDensity) == <Dark \t 0>\n"), std::string::npos);
    EXPECT_NE(p.log.find("parse_jobParams_ppd (paperWeight) == < \t 3>\n"), std::string::npos);
    EXPECT_NE(p.log.find("parse_jobParams_ppd (duplex) == <DuplexTumble \t 2>\n"),
              std::string::npos);
    EXPECT_NE(p.log.find("parse_jobParams_options (paperWeight) == <0>\n"), std::string::npos);
    EXPECT_NE(p.log.find("after parse_jobparams printDensity == <0>\n"
                         "after parse_jobparams paperWeight == <0>\n"
                         "after parse_jobparams duplex == <2>\n"
                         "after parse_jobparams inputSlot == <0>\n"),
              std::string::npos);
    EXPECT_NE(p.log.find("physical_width = <4958 = 595 = 600>\nphysical_height = <7016 = 842 = "
                         "600> \n"),
              std::string::npos);
}

TEST_F(ParamsTest, Copies) {
    struct Case {
        unsigned numCopies;
        int want;
        const char* cmd;
    } cases[] = {
        {0, 1, "1B 26 6C 01 00 49 25"},       {1, 1, "1B 26 6C 01 00 49 25"},
        {2, 2, "1B 26 6C 02 00 1A 70"},       {300, 300, "1B 26 6C 2C 01 D2 45"},
        {0x10000, 1, "1B 26 6C 01 00 49 25"}, {0x8000, 1, "1B 26 6C 01 00 49 25"},
        {0xFFFF, 1, "1B 26 6C 01 00 49 25"},  {0x12C + 0x30000, 300, "1B 26 6C 2C 01 D2 45"},
    };
    for (const Case& c : cases) {
        cups_page_header2_t h = make_header(10, 10);
        h.NumCopies = c.numCopies;
        Parsed p = parse(h, make_ppd("Medium", "Medium", "None"), "");
        EXPECT_EQ(p.params.copies, c.want) << c.numCopies;
        EXPECT_EQ(to_hex(to_bytes(szNumCopiesCmd)), c.cmd) << c.numCopies;
    }
}

TEST_F(ParamsTest, RecordFields) {
    cups_page_header2_t h = make_header(620, 7016);
    h.cupsInteger[0] = 26;
    h.cupsInteger[6] = 5;
    h.cupsMediaType = 3;
    h.Margins[0] = 12;
    h.ImagingBoundingBox[3] = 830;
    strcpy(h.OutputType, "4-best");
    Parsed p = parse(h, make_ppd("Medium", "Medium", "None"), "", "123abc");
    const JobParams& jp = p.params;
    EXPECT_EQ(jp.jobid, 123);
    EXPECT_EQ(jp.jobuser, "alice");
    EXPECT_EQ(jp.jobname, "report");
    EXPECT_EQ(jp.lines, 7016);
    EXPECT_EQ(jp.quality_attributes.print_quality, 4);
    EXPECT_EQ(jp.quality_attributes.media_type, 3);
    EXPECT_EQ(jp.quality_attributes.media_subtype, 5);
    EXPECT_EQ(jp.quality_attributes.horizontal_resolution, 600u);
    const MediaAttributes& ma = jp.media_attributes;
    EXPECT_EQ(ma.pcl_id, 26);
    EXPECT_EQ(ma.physical_width, 4958);
    EXPECT_EQ(ma.physical_height, 7016);
    EXPECT_EQ(ma.printable_width, 4960);
    EXPECT_EQ(ma.printable_height, 7016);
    EXPECT_EQ(ma.printable_start_x, 100);
    EXPECT_EQ(ma.printable_start_y, 100);
    EXPECT_EQ(ma.horizontal_overspray, 72);
    EXPECT_EQ(ma.vertical_overspray, 36);
    EXPECT_EQ(ma.left_overspray, 36);
    EXPECT_EQ(ma.top_overspray, 18);

    // A bounding box above the page height wraps around in unsigned arithmetic.
    h.ImagingBoundingBox[3] = 843;
    EXPECT_EQ(parse(h, make_ppd("", "", ""), "").params.media_attributes.printable_start_y,
              static_cast<int>(0xFFFFFFFFu * 600u / 72u));

    // A job id that is no number gives 0; 16 bits of cupsHeight.
    h.cupsHeight = 70000;
    Parsed q = parse(h, make_ppd("", "", ""), "", "none");
    EXPECT_EQ(q.params.jobid, 0);
    EXPECT_EQ(q.params.lines, 70000 - 65536);
}

TEST_F(ParamsTest, CustomSizeAndOverspray) {
    struct Case {
        const char* sizeName;
        float real0, real1;
        int pcl, left, top;
    } cases[] = {
        {"Custom.200x300", 0.5f, 0.0f, 101, 300, 18},
        {"Custom", 0.0f, 0.25f, 101, 36, 150},
        {"A4", 0.0f, 0.0f, 26, 36, 18},
        {"Customer", -0.5f, 0.0f, 101, -300, 18},
        {"A4", std::numeric_limits<float>::quiet_NaN(), 0.0f, 26, INT_MIN, 18},
        {"A4", 1e30f, 0.0f, 26, INT_MIN, 18},
    };
    for (const Case& c : cases) {
        cups_page_header2_t h = make_header(10, 10);
        strcpy(h.cupsPageSizeName, c.sizeName);
        h.cupsInteger[0] = 26;
        h.cupsReal[0] = c.real0;
        h.cupsReal[1] = c.real1;
        const MediaAttributes ma = parse(h, make_ppd("", "", ""), "").params.media_attributes;
        EXPECT_EQ(ma.pcl_id, c.pcl) << c.sizeName;
        EXPECT_EQ(ma.left_overspray, c.left) << c.real0;
        EXPECT_EQ(ma.top_overspray, c.top) << c.real1;
    }
}

TEST(PageHeaderCheck, RefusesWhatThePrinterCannotCarry) {
    struct Case {
        const char* name;
        void (*change)(cups_page_header2_t&);
        const char* error;  // nullptr: accepted
    } cases[] = {
        {"A4 at 600 dpi", [](cups_page_header2_t&) {}, nullptr},
        {"Legal at 1200 dpi, the largest page",
         [](cups_page_header2_t& h) {
             h.cupsHeight = 16800;
             h.cupsBytesPerLine = 1275;
         },
         nullptr},
        {"widest lines, as many as the largest page holds",
         [](cups_page_header2_t& h) {
             h.cupsHeight = 2614;
             h.cupsBytesPerLine = 8192;
         },
         nullptr},
        {"one line more than the largest page",
         [](cups_page_header2_t& h) {
             h.cupsHeight = 16801;
             h.cupsBytesPerLine = 1275;
         },
         "ERROR: Page 3: raster of 21421275 bytes (cupsBytesPerLine 1275 x cupsHeight 16801) is "
         "more than the printer accepts (21420000).\n"},
        {"most lines of the widest kind",
         [](cups_page_header2_t& h) {
             h.cupsHeight = 65535;
             h.cupsBytesPerLine = 8192;
         },
         "ERROR: Page 3: raster of 536862720 bytes (cupsBytesPerLine 8192 x cupsHeight 65535) is "
         "more than the printer accepts (21420000).\n"},
        {"too many lines", [](cups_page_header2_t& h) { h.cupsHeight = 65536; },
         "ERROR: Page 3: cupsHeight 65536 is more than the printer accepts (65535).\n"},
        {"line too long", [](cups_page_header2_t& h) { h.cupsBytesPerLine = 9000; },
         "ERROR: Page 3: cupsBytesPerLine 9000 is more than the printer accepts (8192).\n"},
        {"zero x resolution", [](cups_page_header2_t& h) { h.HWResolution[0] = 0; },
         "ERROR: Page 3: HWResolution 0x600 has a zero value.\n"},
        {"zero y resolution", [](cups_page_header2_t& h) { h.HWResolution[1] = 0; },
         "ERROR: Page 3: HWResolution 600x0 has a zero value.\n"},
        {"paper too wide", [](cups_page_header2_t& h) { h.PageSize[0] = 7900; },
         "ERROR: Page 3: paper width 65833 dots (PageSize 7900 at 600 dpi) is more than the "
         "printer accepts (65535).\n"},
        {"paper too long", [](cups_page_header2_t& h) { h.HWResolution[1] = 6000; },
         "ERROR: Page 3: paper height 70166 dots (PageSize 842 at 6000 dpi) is more than the "
         "printer accepts (65535).\n"},
    };
    for (const Case& c : cases) {
        cups_page_header2_t h = make_header(620, 7016);
        c.change(h);
        testing::internal::CaptureStderr();
        bool ok = check_page_header(h, 3);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.error == nullptr) << c.name;
        EXPECT_EQ(err, c.error ? c.error : "") << c.name;
    }
}

}  // namespace
