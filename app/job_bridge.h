// SPDX-License-Identifier: Apache-2.0
// The job bridge: the pages PAPPL hands over (8-bit grey lines) dithered to
// one bit and written as a CUPS raster stream into the job's filter process,
// whose printer stream goes to the device. The filter receives the same
// arguments, PPD and option string as under CUPS, so the app and CUPS make
// the same bytes from the same pages.
#ifndef TARNWEL_APP_JOB_BRIDGE_H
#define TARNWEL_APP_JOB_BRIDGE_H

#include <cups/raster.h>
#include <pappl/pappl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "filter_process.h"
#include "models.h"

namespace tarnwel {

// What the filter is told about a job, in the PPD's option names.
struct JobSettings {
    std::string density = "Medium";  // PrintDensity
    std::string weight = "Medium";   // PaperWeight
    std::string duplex = "None";     // Duplex: None, DuplexNoTumble, DuplexTumble
    int copies = 1;

    // The options argument of the filter, as CUPS would pass it.
    std::string option_string() const;
};

// The settings of a job from PAPPL's options (which already hold the
// printer's defaults for whatever the job does not say). `darknessGiven`:
// the job names a print-darkness; without one, its print-quality moves the
// printer's default density a level: draft lighter, high darker (CUPS's
// print dialogs offer print-quality, not print-darkness).
JobSettings job_settings(const pappl_pr_options_t* options, bool darknessGiven = true);

// The part of a whole page (PAPPL's pages and Ghostscript's cover the whole
// paper) that the printer can reach: what CUPS hands the filter, as the PPD
// declares 12 pt on every side unprintable.
struct ImageableArea {
    unsigned left, top;      // pixels and lines of the page before it
    unsigned width, height;  // pixels and lines within it
};
ImageableArea imageable_area(const cups_page_header2_t& page);

// Copies `width` pixels of a 1-bit line from pixel `left` on into `out`
// ((width + 7) / 8 bytes; the bits past the width are 0). `inBytes` is the
// length of `in`.
void copy_pixels(const unsigned char* in, size_t inBytes, unsigned left, unsigned width,
                 unsigned char* out);

// The CUPS raster page header the filter receives for a page of PAPPL's
// `page` header: the imageable area, one bit of black per pixel, the job's
// copies and sides, and the PPD's name of the paper size.
cups_page_header2_t filter_page_header(const cups_page_header2_t& page,
                                       const JobSettings& settings);

// A raster page's type as PWG names it ("srgb_8", "sgray_16").
std::string raster_type_name(const cups_page_header2_t& page);

// One line of 8-bit grey (0 black, 255 white) to one bit per pixel (1 black)
// with the job's dither matrix; `out` holds (width + 7) / 8 bytes.
void dither_line(const unsigned char* grey, unsigned width, unsigned y,
                 const pappl_dither_t& dither, unsigned char* out);

// Where the filter program and the PPDs are: build-time defaults that the
// environment variables TARNWEL_FILTER and TARNWEL_PPD_DIR change.
std::string filter_program();
std::string ppd_path(const Model& model);

class JobBridge {
  public:
    JobBridge(pappl_job_t* job, pappl_device_t* device);
    ~JobBridge();

    // Starts the filter for the job. `countPages`: the filter's PAGE: lines
    // are the job's completed impressions (PAPPL does not count them itself).
    bool start_job(const pappl_pr_options_t* options, bool countPages);
    // A page of options->header, or of `client` when given (the page header
    // of a raster document as the client sent it): 8-bit grey lines (0
    // black) or 1-bit black lines (1 black), the other way round for 1-bit
    // white or 8-bit black; at any resolution, scaled to the printer's.
    bool start_page(const pappl_pr_options_t* options, unsigned page,
                    const cups_page_header2_t* client = nullptr);
    bool write_line(const unsigned char* line);
    bool end_page();
    // Stops the job for `reason` (a limit of the server's): the filter is
    // asked to stop, as on a cancel, so that the printer's stream still ends
    // whole, and the job ends aborted with the reason as its message.
    void stop(const std::string& reason);
    // Ends the stream, waits for the filter and says whether the job printed.
    bool end_job();

  private:
    void log_filter_line(const std::string& line);
    // The raster goes to the filter in large writes, not one per line.
    static ssize_t buffer_raster(void* ctx, unsigned char* data, size_t size);
    bool flush_raster();
    // One line of the page at the printer's resolution.
    bool send_line(const unsigned char* line);
    bool fail(const std::string& reason);
    bool canceled_by_user() const;

    pappl_job_t* job_;
    pappl_device_t* device_;
    std::string deviceUri_;
    JobSettings settings_;
    pappl_dither_t dither_;
    std::unique_ptr<FilterProcess> filter_;
    cups_raster_t* raster_ = nullptr;
    cups_page_header2_t header_;
    std::vector<unsigned char> bits_;
    std::vector<unsigned char> out_;  // raster not yet written to the filter
    ImageableArea area_ = {};
    unsigned inHeight_ = 0;  // lines of the page as it comes
    unsigned inBytesPerLine_ = 0;
    unsigned yIn_ = 0;  // lines of the page received
    unsigned y_ = 0;    // lines sent to the filter
    unsigned lastPage_ = 0;
    bool oneBit_ = false;  // the page's lines are 1-bit black already
    // A page at another resolution than the printer's, or with black and
    // white the other way round: each client line is scaled first.
    bool rescale_ = false;
    bool invert_ = false;
    std::vector<unsigned> xmap_;  // the client's pixel under each scaled one
    std::vector<unsigned char> scaledLine_;
    unsigned clientLines_ = 0, clientY_ = 0, clientWidth_ = 0, clientBytesPerLine_ = 0;
    unsigned clientXres_ = 0, clientYres_ = 0;
    bool skipPage_ = false;  // a repeated page PAPPL makes for copies
    bool inPage_ = false;
    bool countPages_ = false;
    bool failed_ = false;
    bool stopped_ = false;
    bool waited_ = false;  // the job waited for a printer that did not answer
    std::mutex logLock_;
    std::string reason_;       // why the job failed here, if it did
    std::string lastError_;    // the filter's last ERROR: text
    std::string documentCut_;  // why the document is incomplete, if it is
};

// PAPPL's raster callbacks, each handing over to the job's JobBridge.
bool rstartjob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool rstartpage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                unsigned page);
bool rwriteline(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                const unsigned char* line);
bool rendpage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool rendjob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

}  // namespace tarnwel

#endif
