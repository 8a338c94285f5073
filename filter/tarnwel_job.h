// SPDX-License-Identifier: Apache-2.0
// The job engine: job parameters, page sequencing and raster line encoding,
// and the printer's command templates.
#ifndef TARNWEL_JOB_H
#define TARNWEL_JOB_H

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "tarnwel_cmdfunc.h"

// ---------------------------------------------------------------------------
// Command templates. Built with their initial bytes before main() runs; the
// job parameters patch the per-job fields once, before the job header is
// queued. The byte layout of every command is given here and nowhere else.
// ---------------------------------------------------------------------------
extern ByteString szInitCmd;                 // ESC & B, ESC "%-98765X": job start
extern ByteString szPaperWeightCmd;          // FS 16 01 42 w: byte 4 = 0x10 + weight code
extern ByteString szDarknessCmd;             // FS 16 02 42 d: byte 4 = 0x10 + density code
extern ByteString szRenderTypeCmd;           // FS 16 03 42 10
extern ByteString szInputBinCmd;             // ESC & A 01 00 01
extern ByteString szPaperSizeNormalCmd;      // ESC & A 02 00 00 1A (never sent)
extern ByteString szPaperSizeCustomCmd;      // ESC x <width> ESC y <height>, dots, 16-bit LE
extern ByteString szResolutionCmd;           // ESC & A 03 00 00 00
extern ByteString szNumCopiesCmd;            // ESC & l <copies LE> <CRC-16 of bytes 0-4, LE>
extern ByteString szDuplexSingleCmd;         // ESC & A 09 00 00
extern ByteString szDuplexLongflipCmd;       // ESC & A 09 00 01
extern ByteString szDuplexShortflipCmd;      // ESC & A 09 00 02
extern ByteString szBeginDuplexSingleCmd;    // FS 16 04 42 00
extern ByteString szEndDuplexSingleCmd;      // FS 16 04 45 00
extern ByteString szBeginDuplexDoubleCmd;    // FS 16 04 42 01
extern ByteString szEndDuplexDoubleCmd;      // FS 16 04 45 01
extern ByteString szManualDuplexDisableCmd;  // FS 16 05 46 00 (never sent)
extern ByteString szManualDuplexEnableCmd;   // FS 16 05 46 01 (never sent)
extern ByteString szBeginPageCmd;            // ESC $ A ESC ! A 00 00 10
extern ByteString szEndPageCmd;              // ESC $ B
extern ByteString szBlankLineCmd;            // ESC * B 01 00: exactly one blank line

// Raster line command header: ESC * A 02, then the length of the compressed
// data that follows as 16-bit little-endian (its low 16 bits).
constexpr size_t kRasterLineHeaderSize = 6;
void make_raster_line_header(uint8_t out[kRasterLineHeaderSize], size_t dataLength);

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection), as the printer
// checks it on the copies command. A length of 0 or less gives 0.
uint16_t cyg_crc16(const uint8_t* buf, int len);

uint8_t reverseBits(uint8_t b);

// The largest page the printer's 16-bit fields and our memory carry.
constexpr unsigned kMaxPageLines = 65535;
constexpr unsigned kMaxBytesPerLine = 8192;  // 65,536 one-bit dots
constexpr unsigned kMaxPaperDots = 65535;
// The largest raster the printer prints: Legal paper (8.5 x 14 inches) at
// 1200 dpi, 1275 bytes x 16,800 lines. A two-sided job holds a long-edge back
// side whole to turn it, and a sheet's odd page until its even page is out,
// so this also bounds the filter's memory whatever a damaged raster claims.
constexpr size_t kMaxPageBytes = size_t{1275} * 16800;

// Writes one "ERROR:" line naming the page and the value, and returns false,
// for a page header the printer cannot print; true for a good one.
bool check_page_header(const cups_page_header2_t& header, int page);

// ---------------------------------------------------------------------------
// Job parameters
// ---------------------------------------------------------------------------
struct QualityAttributes {
    int media_type;
    int media_subtype;
    int print_quality;
    char hbpl1_print_quality[32];
    unsigned int horizontal_resolution;
    unsigned int vertical_resolution;
    unsigned int actual_vertical_resolution;
    char print_mode_name[32];
};

struct MediaAttributes {
    int pcl_id;
    int physical_width;
    int physical_height;
    int printable_width;
    int printable_height;
    int printable_start_x;
    int printable_start_y;
    int horizontal_overspray;
    int vertical_overspray;
    int left_overspray;
    int top_overspray;
    char PageSizeName[64];
    char MediaTypeName[64];
};

struct JobParams {
    uint8_t printDensity;  // 0 Dark, 1 MediumDark, 2 Medium, 3 MediumLight, 4 Light
    uint8_t paperWeight;   // 0 VeryHeavy, 2 MediumHeavy, 3 Medium
    int jobid;
    uint16_t lines;  // cupsHeight of the first page: length of the blank completing page
    uint16_t copies;
    int resolution;
    DUPLEXMODE duplex;
    int inputSlot;
    bool economode;
    std::string jobuser;
    std::string jobname;
    std::string sourcetray;
    std::string mediatype;
    std::string papersize;
    QualityAttributes quality_attributes;
    MediaAttributes media_attributes;
};

// Points `line` at the next `count` bytes of the page, which stay valid until
// the next call; false when it did not get them all (end of data, damaged
// stream, or a termination request). What could not be read is blank (zero).
using RasterLineReader = std::function<bool(const uint8_t*& line, unsigned count)>;

// ---------------------------------------------------------------------------
// The job
// ---------------------------------------------------------------------------
class Tarnwel_Job {
  public:
    explicit Tarnwel_Job(FILE* out);

    int get_pages() const { return m_pages; }

    void parse_jobParams(const cups_page_header2_t& header, ppd_file_t* ppd, int argc, char** argv);
    void parse_jobParams_ppd(ppd_file_t* ppd);
    void parse_jobParams_options(char** argv);
    int getAttrFromPPDChoice(const char* option, ppd_file_t* ppd, char* ans);

    void encode_page(const cups_page_header2_t& header, unsigned lines, unsigned lineBytes,
                     const RasterLineReader& read_next_rasterline);

    void begin_job();
    void end_job();
    void begin_page();
    void end_page();
    void print_head_cmd_init();
    void sendBlankPageCmd();
    void cmd_flush();

    void encode_curr_line(const uint8_t* inLine, size_t n);
    void sendBlankLineCmd(int n);
    static bool line_bank(const uint8_t* line, size_t n);
    static size_t compress_curr_line(const uint8_t* inLine, size_t n, uint8_t* outLine);
    static void imgline_mirror_reverse(uint8_t* line, size_t n);

    void debug_JobParams();

    FILE* m_out;
    int m_pages = 0;
    int m_feeds = 0;
    JobParams m_jobParams{};
    Tarnwel_CmdFunc m_cmdfunc;

  private:
    ByteString m_page_store;  // a long-edge back side, read whole to be turned

    bool is_long_edge_back_side() const {
        return m_jobParams.duplex == DUPLEXMODE_LONGEDGE && m_pages % 2 == 0;
    }
};

#endif
