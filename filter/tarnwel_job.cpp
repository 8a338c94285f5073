// SPDX-License-Identifier: Apache-2.0
#include "tarnwel_job.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "tarnwel_debug.h"
#include "tarnwel_packbits.h"

// ---------------------------------------------------------------------------
// Command templates
// ---------------------------------------------------------------------------
ByteString szInitCmd = {0x1B, 0x26, 0x42, 0x1B, 0x25, 0x2D, 0x39, 0x38, 0x37, 0x36, 0x35, 0x58};
ByteString szPaperWeightCmd = {0x1C, 0x16, 0x01, 0x42, 0x13};
ByteString szDarknessCmd = {0x1C, 0x16, 0x02, 0x42, 0x12};
ByteString szRenderTypeCmd = {0x1C, 0x16, 0x03, 0x42, 0x10};
ByteString szInputBinCmd = {0x1B, 0x26, 0x41, 0x01, 0x00, 0x01};
ByteString szPaperSizeNormalCmd = {0x1B, 0x26, 0x41, 0x02, 0x00, 0x00, 0x1A};
// 4960 x 7106 dots until the job's paper size is written in.
ByteString szPaperSizeCustomCmd = {0x1B, 0x78, 0x60, 0x13, 0x1B, 0x79, 0xC2, 0x1B};
ByteString szResolutionCmd = {0x1B, 0x26, 0x41, 0x03, 0x00, 0x00, 0x00};
// One copy with a zero checksum until the job's copies are written in.
ByteString szNumCopiesCmd = {0x1B, 0x26, 0x6C, 0x01, 0x00, 0x00, 0x00};
ByteString szDuplexSingleCmd = {0x1B, 0x26, 0x41, 0x09, 0x00, 0x00};
ByteString szDuplexLongflipCmd = {0x1B, 0x26, 0x41, 0x09, 0x00, 0x01};
ByteString szDuplexShortflipCmd = {0x1B, 0x26, 0x41, 0x09, 0x00, 0x02};
ByteString szBeginDuplexSingleCmd = {0x1C, 0x16, 0x04, 0x42, 0x00};
ByteString szEndDuplexSingleCmd = {0x1C, 0x16, 0x04, 0x45, 0x00};
ByteString szBeginDuplexDoubleCmd = {0x1C, 0x16, 0x04, 0x42, 0x01};
ByteString szEndDuplexDoubleCmd = {0x1C, 0x16, 0x04, 0x45, 0x01};
ByteString szManualDuplexDisableCmd = {0x1C, 0x16, 0x05, 0x46, 0x00};
ByteString szManualDuplexEnableCmd = {0x1C, 0x16, 0x05, 0x46, 0x01};
ByteString szBeginPageCmd = {0x1B, 0x24, 0x41, 0x1B, 0x21, 0x41, 0x00, 0x00, 0x10};
ByteString szEndPageCmd = {0x1B, 0x24, 0x42};
ByteString szBlankLineCmd = {0x1B, 0x2A, 0x42, 0x01, 0x00};

void make_raster_line_header(uint8_t out[kRasterLineHeaderSize], size_t dataLength) {
    out[0] = 0x1B;
    out[1] = 0x2A;
    out[2] = 0x41;
    out[3] = 0x02;
    out[4] = static_cast<uint8_t>(dataLength & 0xFF);
    out[5] = static_cast<uint8_t>((dataLength >> 8) & 0xFF);
}

static void put_le16(uint8_t* at, unsigned value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// ---------------------------------------------------------------------------
// CRC-16/XMODEM and bit reversal
// ---------------------------------------------------------------------------
namespace {

struct Crc16Table {
    uint16_t entry[256];
    constexpr Crc16Table() : entry() {
        for (unsigned i = 0; i < 256; i++) {
            unsigned crc = i << 8;
            for (int bit = 0; bit < 8; bit++)
                crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
            entry[i] = static_cast<uint16_t>(crc & 0xFFFF);
        }
    }
};
constexpr Crc16Table kCrc16;

constexpr uint8_t kReversedNibble[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                         0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};

struct ReversedByteTable {
    uint8_t entry[256];
    constexpr ReversedByteTable() : entry() {
        for (unsigned b = 0; b < 256; b++)
            entry[b] =
                static_cast<uint8_t>((kReversedNibble[b & 0x0F] << 4) | kReversedNibble[b >> 4]);
    }
};
constexpr ReversedByteTable kReversedByte;

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

}  // namespace

uint16_t cyg_crc16(const uint8_t* buf, int len) {
    unsigned crc = 0;
    for (int i = 0; i < len; i++)
        crc = ((crc << 8) ^ kCrc16.entry[((crc >> 8) ^ buf[i]) & 0xFF]) & 0xFFFF;
    return static_cast<uint16_t>(crc);
}

uint8_t reverseBits(uint8_t b) {
    return static_cast<uint8_t>((kReversedNibble[b & 0x0F] << 4) | kReversedNibble[b >> 4]);
}

// ---------------------------------------------------------------------------
// Page header checks
// ---------------------------------------------------------------------------

// Paper size in dots as the paper size command carries it: unsigned 32-bit,
// multiply then divide.
static unsigned dots_of(unsigned points, unsigned dpi) {
    return static_cast<unsigned>(static_cast<uint32_t>(points * dpi) / 72u);
}

bool check_page_header(const cups_page_header2_t& header, int page) {
    if (header.HWResolution[0] == 0 || header.HWResolution[1] == 0) {
        fprintf(stderr, "ERROR: Page %d: HWResolution %ux%u has a zero value.\n", page,
                header.HWResolution[0], header.HWResolution[1]);
        return false;
    }
    if (header.cupsHeight > kMaxPageLines) {
        fprintf(stderr, "ERROR: Page %d: cupsHeight %u is more than the printer accepts (%u).\n",
                page, header.cupsHeight, kMaxPageLines);
        return false;
    }
    if (header.cupsBytesPerLine > kMaxBytesPerLine) {
        fprintf(stderr,
                "ERROR: Page %d: cupsBytesPerLine %u is more than the printer accepts (%u).\n",
                page, header.cupsBytesPerLine, kMaxBytesPerLine);
        return false;
    }
    size_t pageBytes = static_cast<size_t>(header.cupsBytesPerLine) * header.cupsHeight;
    if (pageBytes > kMaxPageBytes) {
        fprintf(stderr,
                "ERROR: Page %d: raster of %zu bytes (cupsBytesPerLine %u x cupsHeight %u) is "
                "more than the printer accepts (%zu).\n",
                page, pageBytes, header.cupsBytesPerLine, header.cupsHeight, kMaxPageBytes);
        return false;
    }
    unsigned width = dots_of(header.PageSize[0], header.HWResolution[0]);
    if (width > kMaxPaperDots) {
        fprintf(stderr,
                "ERROR: Page %d: paper width %u dots (PageSize %u at %u dpi) is more than the "
                "printer accepts (%u).\n",
                page, width, header.PageSize[0], header.HWResolution[0], kMaxPaperDots);
        return false;
    }
    unsigned height = dots_of(header.PageSize[1], header.HWResolution[1]);
    if (height > kMaxPaperDots) {
        fprintf(stderr,
                "ERROR: Page %d: paper height %u dots (PageSize %u at %u dpi) is more than the "
                "printer accepts (%u).\n",
                page, height, header.PageSize[1], header.HWResolution[1], kMaxPaperDots);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Job parameters
// ---------------------------------------------------------------------------

// The decimal number at the start of `text` (after blanks, with an optional
// sign), 0 when there is none; clamped instead of overflowing.
static int leading_int(const char* text, size_t maxLen = SIZE_MAX) {
    char buf[64];
    size_t n = strnlen(text, std::min(maxLen, sizeof(buf) - 1));
    memcpy(buf, text, n);
    buf[n] = '\0';
    long v = strtol(buf, nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

// Signed 32-bit multiply-then-divide, wrapping as the printer's firmware
// arithmetic does rather than overflowing.
static int wrap_mul_div(unsigned a, unsigned b, int divisor) {
    return static_cast<int32_t>(static_cast<uint32_t>(a * b)) / divisor;
}

// Single-precision product truncated toward zero; a product that an int cannot
// hold (or a NaN) gives INT_MIN, the x86 "integer indefinite" value.
static int float_product(unsigned dpi, float factor) {
    float v = static_cast<float>(dpi) * factor;
    if (!(v > -2147483904.0f && v < 2147483648.0f))
        return INT_MIN;
    return static_cast<int>(v);
}

Tarnwel_Job::Tarnwel_Job(FILE* out) : m_out(out) {}

int Tarnwel_Job::getAttrFromPPDChoice(const char* option, ppd_file_t* ppd, char* ans) {
    ppd_choice_t* choice = ppdFindMarkedChoice(ppd, option);
    if (!choice) {
        ppd_option_t* opt = ppdFindOption(ppd, option);
        if (!opt)
            return -1;
        choice = ppdFindChoice(opt, opt->defchoice);
        if (!choice)
            return -1;
    }
    size_t n = strnlen(choice->choice, 40);
    memcpy(ans, choice->choice, n);
    return leading_int(choice->choice, sizeof(choice->choice));
}

static bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

void Tarnwel_Job::parse_jobParams_ppd(ppd_file_t* ppd) {
    JobParams& jp = m_jobParams;
    char ans[41];

    memset(ans, 0, sizeof(ans));
    getAttrFromPPDChoice("PrintDensity", ppd, ans);
    if (starts_with(ans, "Dark"))
        jp.printDensity = 0;
    else if (starts_with(ans, "MediumDark"))
        jp.printDensity = 1;
    else if (starts_with(ans, "MediumLight"))
        jp.printDensity = 3;
    else if (starts_with(ans, "Medium"))
        jp.printDensity = 2;
    else if (starts_with(ans, "Light"))
        jp.printDensity = 4;
    fprintf(stderr, "%s (printDensity) == <%s \t %d>\n", "parse_jobParams_ppd", ans,
            jp.printDensity);

    memset(ans, 0, sizeof(ans));
    getAttrFromPPDChoice("PaperWeight", ppd, ans);
    if (starts_with(ans, "VeryHeavy"))
        jp.paperWeight = 0;
    else if (starts_with(ans, "MediumHeavy"))
        jp.paperWeight = 2;
    else if (starts_with(ans, "Medium"))
        jp.paperWeight = 3;
    fprintf(stderr, "%s (paperWeight) == <%s \t %d>\n", "parse_jobParams_ppd", ans, jp.paperWeight);

    memset(ans, 0, sizeof(ans));
    getAttrFromPPDChoice("Duplex", ppd, ans);
    jp.duplex = DUPLEXMODE_NONE;
    if (starts_with(ans, "DuplexNoTumble"))
        jp.duplex = DUPLEXMODE_LONGEDGE;
    else if (starts_with(ans, "DuplexTumble"))
        jp.duplex = DUPLEXMODE_SHORTEDGE;
    fprintf(stderr, "%s (duplex) == <%s \t %d>\n", "parse_jobParams_ppd", ans, jp.duplex);
}

void Tarnwel_Job::parse_jobParams_options(char** argv) {
    JobParams& jp = m_jobParams;
    const char* options = argv[5] ? argv[5] : "";

    if (strstr(options, "PrintDensity=Dark"))
        jp.printDensity = 0;
    else if (strstr(options, "PrintDensity=MediumDark"))
        jp.printDensity = 1;
    else if (strstr(options, "PrintDensity=MediumLight"))
        jp.printDensity = 3;
    else if (strstr(options, "PrintDensity=Medium"))
        jp.printDensity = 2;
    else if (strstr(options, "PrintDensity=Light"))
        jp.printDensity = 4;
    fprintf(stderr, "%s (printDensity) == <%d>\n", "parse_jobParams_options", jp.printDensity);

    if (strstr(options, "PaperWeight=VeryHeavy"))
        jp.paperWeight = 0;
    else if (strstr(options, "PaperWeight=MediumHeavy"))
        jp.paperWeight = 2;
    else if (strstr(options, "PaperWeight=Medium"))
        jp.paperWeight = 3;
    fprintf(stderr, "%s (paperWeight) == <%d>\n", "parse_jobParams_options", jp.paperWeight);

    if (strstr(options, "Duplex=DuplexNoTumble"))
        jp.duplex = DUPLEXMODE_LONGEDGE;
    else if (strstr(options, "Duplex=DuplexTumble"))
        jp.duplex = DUPLEXMODE_SHORTEDGE;
    else if (strstr(options, "Duplex=None"))
        jp.duplex = DUPLEXMODE_NONE;
    fprintf(stderr, "%s (duplex) == <%d>\n", "parse_jobParams_options", jp.duplex);
}

void Tarnwel_Job::parse_jobParams(const cups_page_header2_t& header, ppd_file_t* ppd, int argc,
                                  char** argv) {
    (void)argc;
    JobParams& jp = m_jobParams;
    jp = JobParams{};

    jp.jobid = leading_int(argv[1]);
    jp.jobuser = argv[2];
    jp.jobname = argv[3];

    jp.printDensity = 2;
    jp.paperWeight = 3;
    jp.duplex = DUPLEXMODE_NONE;
    jp.inputSlot = 0;
    jp.lines = static_cast<uint16_t>(header.cupsHeight);

    parse_jobParams_ppd(ppd);
    parse_jobParams_options(argv);

    fprintf(stderr, "after parse_jobparams printDensity == <%d>\n", jp.printDensity);
    fprintf(stderr, "after parse_jobparams paperWeight == <%d>\n", jp.paperWeight);
    fprintf(stderr, "after parse_jobparams duplex == <%d>\n", jp.duplex);
    fprintf(stderr, "after parse_jobparams inputSlot == <%d>\n", jp.inputSlot);

    szDarknessCmd[4] = static_cast<uint8_t>(0x10 + jp.printDensity);
    szPaperWeightCmd[4] = static_cast<uint8_t>(0x10 + jp.paperWeight);

    // The printer prints the copies itself; zero or a negative 16-bit count
    // means one.
    uint16_t copies = static_cast<uint16_t>(header.NumCopies);
    if (static_cast<int16_t>(copies) <= 0)
        copies = 1;
    jp.copies = copies;
    put_le16(&szNumCopiesCmd[3], copies);
    put_le16(&szNumCopiesCmd[5],
             cyg_crc16(szNumCopiesCmd.data(), static_cast<int>(szNumCopiesCmd.size()) - 2));

    unsigned xdpi = header.HWResolution[0];
    unsigned ydpi = header.HWResolution[1];

    QualityAttributes& qa = jp.quality_attributes;
    qa.media_type = static_cast<int>(header.cupsMediaType);
    qa.media_subtype = static_cast<int>(header.cupsInteger[6]);
    qa.print_quality = leading_int(header.OutputType, sizeof(header.OutputType));
    qa.horizontal_resolution = xdpi;
    qa.vertical_resolution = ydpi;
    qa.actual_vertical_resolution = ydpi;

    MediaAttributes& ma = jp.media_attributes;
    ma.pcl_id = strncmp(header.cupsPageSizeName, "Custom", 6) == 0
                    ? 101
                    : static_cast<int>(header.cupsInteger[0]);
    ma.printable_start_x = static_cast<int>(dots_of(header.Margins[0], xdpi));
    ma.printable_start_y =
        static_cast<int>(dots_of(header.PageSize[1] - header.ImagingBoundingBox[3], ydpi));
    ma.horizontal_overspray = wrap_mul_div(xdpi, 120, 1000);
    ma.vertical_overspray = wrap_mul_div(ydpi, 60, 1000);
    ma.left_overspray = header.cupsReal[0] != 0.0f ? float_product(xdpi, header.cupsReal[0])
                                                   : wrap_mul_div(xdpi, 120, 2000);
    ma.top_overspray = header.cupsReal[1] != 0.0f ? float_product(ydpi, header.cupsReal[1])
                                                  : wrap_mul_div(ydpi, 60, 2000);
    ma.physical_width = static_cast<int>(dots_of(header.PageSize[0], xdpi));
    ma.physical_height = static_cast<int>(dots_of(header.PageSize[1], ydpi));
    ma.printable_width = static_cast<int>(header.cupsWidth);
    ma.printable_height = static_cast<int>(header.cupsHeight);

    fprintf(stderr, "physical_width = <%d = %d = %d>\n", ma.physical_width,
            static_cast<int>(header.PageSize[0]), static_cast<int>(xdpi));
    fprintf(stderr, "physical_height = <%d = %d = %d> \n", ma.physical_height,
            static_cast<int>(header.PageSize[1]), static_cast<int>(ydpi));

    put_le16(&szPaperSizeCustomCmd[2], static_cast<unsigned>(ma.physical_width));
    put_le16(&szPaperSizeCustomCmd[6], static_cast<unsigned>(ma.physical_height));
}

void Tarnwel_Job::debug_JobParams() {
    fprintf(stderr, "JobParams::duplex = <%d>\n", m_jobParams.duplex);
    fprintf(stderr, "JobParams::copies = <%d>\n", m_jobParams.copies);
}

// ---------------------------------------------------------------------------
// Job and page sequencing
// ---------------------------------------------------------------------------
void Tarnwel_Job::begin_job() {
    fprintf(stderr, " go into begin_job() ... \n");
    m_cmdfunc.add_cmdline(szInitCmd);
}

void Tarnwel_Job::end_job() {
    fprintf(stderr, " go into end_job() ... \n");
    m_cmdfunc.add_cmdline(m_jobParams.duplex != DUPLEXMODE_NONE ? szEndDuplexDoubleCmd
                                                                : szEndDuplexSingleCmd);
}

void Tarnwel_Job::begin_page() {
    fprintf(stderr, " go into begin_page() ... \n");
    m_cmdfunc.add_cmdline(szBeginPageCmd);
}

void Tarnwel_Job::end_page() {
    fprintf(stderr, " go into end_page() ... \n");
    m_cmdfunc.add_cmdline(szEndPageCmd);
}

void Tarnwel_Job::print_head_cmd_init() {
    begin_job();
    m_cmdfunc.add_cmdline(szPaperWeightCmd);
    m_cmdfunc.add_cmdline(szDarknessCmd);
    m_cmdfunc.add_cmdline(szRenderTypeCmd);
    m_cmdfunc.add_cmdline(szInputBinCmd);
    m_cmdfunc.add_cmdline(szPaperSizeCustomCmd);
    m_cmdfunc.add_cmdline(szResolutionCmd);
    m_cmdfunc.add_cmdline(szNumCopiesCmd);
    fprintf(stderr, "%s:m_jobParams.duplex = %d \n", "print_head_cmd_init", m_jobParams.duplex);
    switch (m_jobParams.duplex) {
        case DUPLEXMODE_LONGEDGE:
            m_cmdfunc.add_cmdline(szDuplexLongflipCmd);
            m_cmdfunc.add_cmdline(szBeginDuplexDoubleCmd);
            break;
        case DUPLEXMODE_SHORTEDGE:
            m_cmdfunc.add_cmdline(szDuplexShortflipCmd);
            m_cmdfunc.add_cmdline(szBeginDuplexDoubleCmd);
            break;
        default:
            m_cmdfunc.add_cmdline(szDuplexSingleCmd);
            m_cmdfunc.add_cmdline(szBeginDuplexSingleCmd);
            break;
    }
}

// Commands are written out in blocks of about this size as a page is encoded,
// wherever the sheet order allows, so that memory does not grow with the page.
static constexpr size_t kDrainBytes = 128 * 1024;
// What a back side's store reserves at most before its lines arrive.
static constexpr size_t kStoreReserve = 32 * 1024 * 1024;

void Tarnwel_Job::encode_page(const cups_page_header2_t& header, unsigned lines, unsigned lineBytes,
                              const RasterLineReader& read_next_rasterline) {
    m_pages++;
    m_cmdfunc.m_pages++;
    fprintf(stderr, "encode_page  m_pages = %d ... \n", m_pages);

    if (m_pages == 1) {
        printCupsHeaderInfo(header);
        debug_JobParams();
        m_cmdfunc.m_duplex = m_jobParams.duplex;
    }

    bool twoSided = m_jobParams.duplex != DUPLEXMODE_NONE;
    if ((!twoSided && m_pages == 1) || (twoSided && m_pages == 2))
        print_head_cmd_init();

    begin_page();

    // Encodes one line, and writes out what the sheet order already allows.
    auto send_line = [&](const uint8_t* line) {
        encode_curr_line(line, lineBytes);
        if (m_cmdfunc.drainable(kDrainBytes))
            m_cmdfunc.drain(m_out);
    };

    if (is_long_edge_back_side()) {
        // A long-edge back side is turned through 180 degrees: the page is
        // read whole, each line mirrored, and sent bottom line first. The
        // store grows with the lines that arrive, so that a damaged raster
        // claiming a huge page costs no memory; it is kept from one back side
        // to the next.
        ByteString& store = m_page_store;
        store.clear();
        store.reserve(std::min<size_t>(static_cast<size_t>(lines) * lineBytes, kStoreReserve));
        unsigned got = 0;
        while (got < lines) {
            size_t at = store.size();
            store.resize(at + lineBytes);  // not cleared: every byte is copied in
            const uint8_t* line = nullptr;
            bool filled = read_next_rasterline(line, lineBytes);
            if (lineBytes > 0)
                memcpy(store.data() + at, line, lineBytes);
            imgline_mirror_reverse(store.data() + at, lineBytes);
            got++;
            // Once the raster breaks or the job is cancelled, nothing more
            // comes: the lines not read are blank, the first ones sent.
            if (!filled)
                break;
        }
        m_feeds += static_cast<int>(lines - got);
        for (unsigned i = got; i-- > 0;)
            send_line(store.data() + static_cast<size_t>(i) * lineBytes);
    } else {
        // Every other page goes through line by line: memory does not grow
        // with the page.
        for (unsigned i = 0; i < lines; i++) {
            // The reader blanks what it could not fill, and the rest of the
            // page stays blank: nothing more comes once the raster breaks.
            const uint8_t* line = nullptr;
            bool filled = read_next_rasterline(line, lineBytes);
            send_line(line);
            if (!filled)
                break;
        }
    }

    // Blank lines at the foot of a page are never sent: the printer ejects
    // the sheet at the end-page command, and carrying them into the next page
    // would push that page's image down.
    m_feeds = 0;

    end_page();
    m_cmdfunc.flush(m_out);
}

void Tarnwel_Job::sendBlankPageCmd() {
    if (m_jobParams.duplex == DUPLEXMODE_NONE || m_pages % 2 == 0)
        return;
    m_pages++;
    m_cmdfunc.m_pages++;
    if (m_pages == 2)
        print_head_cmd_init();
    fprintf(stderr, " go into sendBlankPageCmd() lines = %d... \n", m_jobParams.lines);
    begin_page();
    sendBlankLineCmd(m_jobParams.lines);
    end_page();
}

void Tarnwel_Job::cmd_flush() {
    fprintf(stderr, " go into %s() ... \n", "cmd_flush");
    m_cmdfunc.flush(m_out);
}

// ---------------------------------------------------------------------------
// Raster line encoding
// ---------------------------------------------------------------------------
bool Tarnwel_Job::line_bank(const uint8_t* line, size_t n) {
    return tarnwel::all_zero(line, n);
}

// PackBits with every data byte complemented (the printer's white is a set
// bit). A literal never takes in the line's last byte and stops before a pair
// of equal bytes; runs and literals hold at most 127 bytes. Writes to
// `outLine`, which has tarnwel::packbits_room(n) bytes, and returns the
// length.
size_t Tarnwel_Job::compress_curr_line(const uint8_t* inLine, size_t n, uint8_t* outLine) {
    return tarnwel::packbits_complement(inLine, n, outLine);
}

void Tarnwel_Job::sendBlankLineCmd(int n) {
    m_cmdfunc.add_cmdline_repeated(szBlankLineCmd, n);
}

void Tarnwel_Job::encode_curr_line(const uint8_t* inLine, size_t n) {
    if (line_bank(inLine, n)) {
        m_feeds++;
        return;
    }
    if (m_feeds > 0) {
        sendBlankLineCmd(m_feeds);
        m_feeds = 0;
    }
    // The line is compressed straight into the command queue, behind room
    // for its header.
    uint8_t* cmd = m_cmdfunc.reserve_cmdline(kRasterLineHeaderSize + tarnwel::packbits_room(n));
    size_t length = compress_curr_line(inLine, n, cmd + kRasterLineHeaderSize);
    make_raster_line_header(cmd, length);
    m_cmdfunc.commit_cmdline(kRasterLineHeaderSize + length);
}

// The bits of a 64-bit word in reverse order.
static inline uint64_t reverse_bits64(uint64_t x) {
    x = __builtin_bswap64(x);
    x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
    x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
    return x;
}

// Turns a line end for end: the byte order and the bit order in every byte
// are reversed, so that with the line order reversed the page is turned
// through 180 degrees. Eight bytes from each end at a time.
void Tarnwel_Job::imgline_mirror_reverse(uint8_t* line, size_t n) {
    size_t front = 0, back = n;
    while (back - front >= 16) {
        uint64_t a, b;
        memcpy(&a, line + front, 8);
        memcpy(&b, line + back - 8, 8);
        // A little-endian load puts byte 0 lowest: reversing the word's bits
        // reverses the bytes and the bits within them.
        if (kLittleEndianHost) {
            a = reverse_bits64(a);
            b = reverse_bits64(b);
        } else {
            uint8_t* pa = reinterpret_cast<uint8_t*>(&a);
            uint8_t* pb = reinterpret_cast<uint8_t*>(&b);
            std::reverse(pa, pa + 8);
            std::reverse(pb, pb + 8);
            for (int i = 0; i < 8; i++) {
                pa[i] = kReversedByte.entry[pa[i]];
                pb[i] = kReversedByte.entry[pb[i]];
            }
        }
        memcpy(line + front, &b, 8);
        memcpy(line + back - 8, &a, 8);
        front += 8;
        back -= 8;
    }
    std::reverse(line + front, line + back);
    for (size_t i = front; i < back; i++)
        line[i] = kReversedByte.entry[line[i]];
}
