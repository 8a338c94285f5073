// SPDX-License-Identifier: Apache-2.0
// The printer's command language and the command buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarnwel_cmdfunc.h"
#include "tarnwel_job.h"
#include "test_util.h"

namespace {

TEST(Crc16, ZeroBytesAndCheckValue) {
    EXPECT_EQ(cyg_crc16(nullptr, 0), 0);
    EXPECT_EQ(cyg_crc16(reinterpret_cast<const uint8_t*>("x"), -3), 0);
    EXPECT_EQ(cyg_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
}

// The copies command as the job patches it, for the printer's checksum.
TEST(Crc16, CopiesCommand) {
    struct Case {
        unsigned copies;
        const char* command;
    } cases[] = {
        {1, "1B 26 6C 01 00 49 25"},
        {2, "1B 26 6C 02 00 1A 70"},
        {256, "1B 26 6C 00 01 59 06"},
        {300, "1B 26 6C 2C 01 D2 45"},
    };
    for (const Case& c : cases) {
        Bytes cmd = hex_bytes("1B 26 6C 00 00 00 00");
        cmd[3] = c.copies & 0xFF;
        cmd[4] = c.copies >> 8;
        uint16_t crc = cyg_crc16(cmd.data(), 5);
        cmd[5] = crc & 0xFF;
        cmd[6] = crc >> 8;
        EXPECT_EQ(to_hex(cmd), c.command) << c.copies << " copies";
    }
}

TEST(Templates, InitialBytes) {
    struct Case {
        const char* name;
        const ByteString& tmpl;
        const char* bytes;
    } cases[] = {
        {"szInitCmd", szInitCmd, "1B 26 42 1B 25 2D 39 38 37 36 35 58"},
        {"szPaperWeightCmd", szPaperWeightCmd, "1C 16 01 42 13"},
        {"szDarknessCmd", szDarknessCmd, "1C 16 02 42 12"},
        {"szRenderTypeCmd", szRenderTypeCmd, "1C 16 03 42 10"},
        {"szInputBinCmd", szInputBinCmd, "1B 26 41 01 00 01"},
        {"szPaperSizeNormalCmd", szPaperSizeNormalCmd, "1B 26 41 02 00 00 1A"},
        {"szPaperSizeCustomCmd", szPaperSizeCustomCmd, "1B 78 60 13 1B 79 C2 1B"},
        {"szResolutionCmd", szResolutionCmd, "1B 26 41 03 00 00 00"},
        {"szNumCopiesCmd", szNumCopiesCmd, "1B 26 6C 01 00 00 00"},
        {"szDuplexSingleCmd", szDuplexSingleCmd, "1B 26 41 09 00 00"},
        {"szDuplexLongflipCmd", szDuplexLongflipCmd, "1B 26 41 09 00 01"},
        {"szDuplexShortflipCmd", szDuplexShortflipCmd, "1B 26 41 09 00 02"},
        {"szBeginDuplexSingleCmd", szBeginDuplexSingleCmd, "1C 16 04 42 00"},
        {"szEndDuplexSingleCmd", szEndDuplexSingleCmd, "1C 16 04 45 00"},
        {"szBeginDuplexDoubleCmd", szBeginDuplexDoubleCmd, "1C 16 04 42 01"},
        {"szEndDuplexDoubleCmd", szEndDuplexDoubleCmd, "1C 16 04 45 01"},
        {"szManualDuplexDisableCmd", szManualDuplexDisableCmd, "1C 16 05 46 00"},
        {"szManualDuplexEnableCmd", szManualDuplexEnableCmd, "1C 16 05 46 01"},
        {"szBeginPageCmd", szBeginPageCmd, "1B 24 41 1B 21 41 00 00 10"},
        {"szEndPageCmd", szEndPageCmd, "1B 24 42"},
        {"szBlankLineCmd", szBlankLineCmd, "1B 2A 42 01 00"},
    };
    ASSERT_EQ(sizeof(cases) / sizeof(cases[0]), 21u);
    for (const Case& c : cases)
        EXPECT_EQ(to_hex(to_bytes(c.tmpl)), c.bytes) << c.name;
}

TEST(Templates, RasterLineHeader) {
    uint8_t h[kRasterLineHeaderSize];
    make_raster_line_header(h, 300);
    EXPECT_EQ(to_hex(h, sizeof(h)), "1B 2A 41 02 2C 01");
    make_raster_line_header(h, 0x12345);  // only the low 16 bits fit
    EXPECT_EQ(to_hex(h, sizeof(h)), "1B 2A 41 02 45 23");
}

// The job's parameters come from a PPD, read by libcups.
#ifndef TARNWEL_CORE_ONLY
TEST(Templates, PaperSizeForA4At600Dpi) {
    ByteString saved = szPaperSizeCustomCmd;
    cups_page_header2_t h = make_header(620, 7016);
    Tarnwel_Job job(stdout);
    char arg0[] = "f", a1[] = "1", a2[] = "u", a3[] = "t", a4[] = "1", a5[] = "";
    char* argv[] = {arg0, a1, a2, a3, a4, a5, nullptr};
    ppd_file_t* ppd = ppdOpenFile(write_ppd().c_str());
    ASSERT_NE(ppd, nullptr);
    testing::internal::CaptureStderr();
    job.parse_jobParams(h, ppd, 6, argv);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(to_hex(to_bytes(szPaperSizeCustomCmd)), "1B 78 5E 13 1B 79 68 1B");
    ppdClose(ppd);
    szPaperSizeCustomCmd = saved;
}
#endif

// ---------------------------------------------------------------------------
// Command buffer
// ---------------------------------------------------------------------------

// Captures what a flush writes, and what it logs.
struct Flushed {
    Bytes out;
    std::string log;
};

Flushed flush_buffer(Tarnwel_CmdFunc& buf) {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    testing::internal::CaptureStderr();
    buf.flush(f);
    Flushed r;
    r.log = testing::internal::GetCapturedStderr();
    fclose(f);
    r.out.assign(data, data + size);
    free(data);
    return r;
}

// One step of a scripted buffer session, with the counts expected after it.
struct Step {
    enum Kind { Add, SetPages, Flush } kind;
    std::string bytes;  // Add: the command; Flush: what reaches the stream
    int pages;          // SetPages
    int bytes_a, bytes_b;
    bool logs;  // Flush: whether it writes its log line
};
Step pages(int n) {
    return {Step::SetPages, "", n, -1, -1, false};
}
Step add(const char* hex, int a, int b) {
    return {Step::Add, hex, 0, a, b, false};
}
Step flush(const char* hex, int a, int b, bool logs = true) {
    return {Step::Flush, hex, 0, a, b, logs};
}

struct Script {
    const char* name;
    DUPLEXMODE duplex;
    std::vector<Step> steps;
};

TEST(CmdFunc, ScriptedSequences) {
    const Script scripts[] = {
        {"one-sided add and flush",
         DUPLEXMODE_NONE,
         {pages(1), add("1B 24 41", 3, 0), add("", 3, 0), add("1B 24 42", 6, 0),
          flush("1B 24 41 1B 24 42", 0, 0), flush("", 0, 0, false)}},
        {"one-sided ignores page parity",
         DUPLEXMODE_NONE,
         {pages(2), add("01 02", 2, 0), flush("01 02", 0, 0)}},
        {"two-sided holds the odd page until the even one",
         DUPLEXMODE_LONGEDGE,
         {pages(1), add("AA AA", 2, 0), flush("", 2, 0), pages(2), add("BB", 2, 1),
          add("CC CC CC", 2, 4), flush("BB CC CC CC AA AA", 0, 0), flush("", 0, 0, false)}},
        {"two-sided page count 0 queues into B",
         DUPLEXMODE_SHORTEDGE,
         {add("01", 0, 1), flush("01", 0, 0)}},
        {"two-sided even page with empty A",
         DUPLEXMODE_SHORTEDGE,
         {pages(2), add("05 06", 0, 2), flush("05 06", 0, 0)}},
        {"two-sided odd page with an empty queue A writes and logs nothing",
         DUPLEXMODE_LONGEDGE,
         {pages(2), add("07", 0, 1), pages(3), flush("", 0, 1, false)}},
    };
    for (const Script& s : scripts) {
        SCOPED_TRACE(s.name);
        Tarnwel_CmdFunc buf;
        buf.m_duplex = s.duplex;
        int stepNo = 0;
        for (const Step& st : s.steps) {
            SCOPED_TRACE("step " + std::to_string(stepNo++));
            switch (st.kind) {
                case Step::SetPages:
                    buf.m_pages = st.pages;
                    break;
                case Step::Add: {
                    Bytes b = hex_bytes(st.bytes);
                    buf.add_cmdline(ByteString(b.begin(), b.end()));
                    break;
                }
                case Step::Flush: {
                    Flushed f = flush_buffer(buf);
                    EXPECT_TRUE(SameBytes(hex_bytes(st.bytes), f.out));
                    EXPECT_EQ(!f.log.empty(), st.logs) << f.log;
                    break;
                }
            }
            if (st.bytes_a >= 0) {
                EXPECT_EQ(buf.m_cmd_bytes, st.bytes_a);
                EXPECT_EQ(buf.m_cmd_bytes_even, st.bytes_b);
                EXPECT_EQ(buf.m_cmdlines.size(), static_cast<size_t>(st.bytes_a));
                EXPECT_EQ(buf.m_cmdlines_even.size(), static_cast<size_t>(st.bytes_b));
            }
        }
    }
}

TEST(CmdFunc, FlushLogLines) {
    Tarnwel_CmdFunc buf;
    buf.m_duplex = DUPLEXMODE_LONGEDGE;
    buf.m_pages = 1;
    buf.add_cmdline(ByteString{1, 2, 3});
    EXPECT_EQ(flush_buffer(buf).log, "flush:: \t m_duplex = 1 \t m_pages = 1  \n");
    buf.m_pages = 2;
    buf.add_cmdline(ByteString{4, 5});
    EXPECT_EQ(flush_buffer(buf).log,
              "flush:: \t m_duplex = 1 \t m_pages = 2  \n----->>>>> stdout <2\t3>\n");
}

// Draining writes early what no later command can precede, and changes
// neither the bytes of the stream nor the counts the log reports.
TEST(CmdFunc, DrainKeepsStreamAndCounts) {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    Tarnwel_CmdFunc buf;
    buf.m_duplex = DUPLEXMODE_LONGEDGE;
    buf.m_pages = 1;
    buf.add_cmdline(ByteString{0xA1, 0xA2});
    EXPECT_FALSE(buf.drainable(1));  // the odd page waits for its sheet
    buf.drain(f);
    buf.m_pages = 2;
    buf.add_cmdline(ByteString{0xB1, 0xB2, 0xB3});
    EXPECT_TRUE(buf.drainable(3));
    buf.drain(f);
    buf.add_cmdline(ByteString{0xB4});
    testing::internal::CaptureStderr();
    buf.flush(f);
    std::string log = testing::internal::GetCapturedStderr();
    fclose(f);
    EXPECT_EQ(to_hex(reinterpret_cast<uint8_t*>(data), size), "B1 B2 B3 B4 A1 A2");
    free(data);
    EXPECT_NE(log.find("----->>>>> stdout <4\t2>\n"), std::string::npos) << log;
    EXPECT_TRUE(buf.empty());
}

TEST(CmdFunc, RepeatedCommandIsCountedPerCopy) {
    Tarnwel_CmdFunc buf;
    buf.add_cmdline_repeated(szBlankLineCmd, 3);
    buf.add_cmdline_repeated(szBlankLineCmd, 0);
    buf.add_cmdline_repeated(szBlankLineCmd, -4);
    EXPECT_EQ(buf.get_cmd_bytes(), 15);
    EXPECT_EQ(to_hex(flush_buffer(buf).out), "1B 2A 42 01 00 1B 2A 42 01 00 1B 2A 42 01 00");
}

}  // namespace
