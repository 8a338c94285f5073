// SPDX-License-Identifier: Apache-2.0
#include "job_bridge.h"

#include "pappl/job_limits.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pappl/fixes.h"
#include "pappl/raster.h"

#ifndef TARNWEL_DEFAULT_FILTER
#define TARNWEL_DEFAULT_FILTER "/usr/lib/cups/filter/rastertotarnwel"
#endif
#ifndef TARNWEL_DEFAULT_PPD_DIR
#define TARNWEL_DEFAULT_PPD_DIR "/usr/share/cups/model/tarnwel"
#endif

namespace tarnwel {

// The finest raster a client may send; it is scaled to the printer's.
static constexpr unsigned kMaxClientResolution = 4 * kResolution;

// How much raster the bridge gathers before it writes to the filter.
static constexpr size_t kRasterWriteSize = 256 * 1024;

std::string raster_type_name(const cups_page_header2_t& page) {
    const char* space = nullptr;
    switch (page.cupsColorSpace) {
        case CUPS_CSPACE_SW:
            space = "sgray";
            break;
        case CUPS_CSPACE_W:
            space = "gray";
            break;
        case CUPS_CSPACE_K:
            space = "black";
            break;
        case CUPS_CSPACE_SRGB:
            space = "srgb";
            break;
        case CUPS_CSPACE_RGB:
            space = "rgb";
            break;
        case CUPS_CSPACE_ADOBERGB:
            space = "adobe-rgb";
            break;
        case CUPS_CSPACE_CMYK:
            space = "cmyk";
            break;
        default:
            break;
    }
    if (space)
        return std::string(space) + "_" + std::to_string(page.cupsBitsPerColor);
    return "colour space " + std::to_string(page.cupsColorSpace) + ", " +
           std::to_string(page.cupsBitsPerPixel) + " bits per pixel,";
}

std::string JobSettings::option_string() const {
    return "PrintDensity=" + density + " PaperWeight=" + weight + " Duplex=" + duplex;
}

JobSettings job_settings(const pappl_pr_options_t* options, bool darknessGiven) {
    JobSettings s;
    int darkness = options->print_darkness;
    if (!darknessGiven) {
        // One of the five levels, 50 apart.
        if (options->print_quality == IPP_QUALITY_DRAFT)
            darkness = std::max(darkness - 50, -100);
        else if (options->print_quality == IPP_QUALITY_HIGH)
            darkness = std::min(darkness + 50, 100);
    }
    s.density = density_choice(darkness);
    s.weight =
        paper_weight_choice(options->media.type[0] ? options->media.type : kDefaultMediaType);
    switch (options->sides) {
        case PAPPL_SIDES_TWO_SIDED_LONG_EDGE:
            s.duplex = "DuplexNoTumble";
            break;
        case PAPPL_SIDES_TWO_SIDED_SHORT_EDGE:
            s.duplex = "DuplexTumble";
            break;
        default:
            s.duplex = "None";
            break;
    }
    s.copies = options->copies > 0 ? options->copies : 1;
    return s;
}

ImageableArea imageable_area(const cups_page_header2_t& page) {
    const unsigned x = kMarginPoints * page.HWResolution[0] / 72;
    const unsigned y = kMarginPoints * page.HWResolution[1] / 72;
    // A page too small for the margins goes whole (no paper of the printer's
    // is, but a document may say anything).
    if (page.cupsWidth <= 2 * x || page.cupsHeight <= 2 * y)
        return {0, 0, page.cupsWidth, page.cupsHeight};
    return {x, y, page.cupsWidth - 2 * x, page.cupsHeight - 2 * y};
}

void copy_pixels(const unsigned char* in, size_t inBytes, unsigned left, unsigned width,
                 unsigned char* out) {
    const size_t first = left / 8, n = (width + 7) / 8;
    const unsigned shift = left % 8;
    // Where the line goes on past the copy, a plain loop (which the compiler
    // turns into vector code); the bytes at the line's end one at a time.
    size_t whole = 0;
    if (first < inBytes)
        whole = std::min(n, inBytes - first - (shift ? 1 : 0));
    if (shift == 0) {
        memcpy(out, in + first, whole);
    } else {
        for (size_t i = 0; i < whole; i++)
            out[i] = static_cast<unsigned char>((in[first + i] << shift) |
                                                (in[first + i + 1] >> (8 - shift)));
    }
    for (size_t i = whole; i < n; i++) {
        const unsigned hi = first + i < inBytes ? in[first + i] : 0;
        const unsigned lo = shift && first + i + 1 < inBytes ? in[first + i + 1] : 0;
        out[i] = static_cast<unsigned char>((hi << shift) | (lo >> (8 - shift)));
    }
    if (width % 8)
        out[n - 1] &= static_cast<unsigned char>(0xFF << (8 - width % 8));
}

cups_page_header2_t filter_page_header(const cups_page_header2_t& page,
                                       const JobSettings& settings) {
    cups_page_header2_t h;
    memset(&h, 0, sizeof(h));
    memcpy(h.MediaClass, page.MediaClass, sizeof(h.MediaClass));
    memcpy(h.MediaType, page.MediaType, sizeof(h.MediaType));
    memcpy(h.OutputType, page.OutputType, sizeof(h.OutputType));
    h.HWResolution[0] = page.HWResolution[0];
    h.HWResolution[1] = page.HWResolution[1];
    h.PageSize[0] = page.PageSize[0];
    h.PageSize[1] = page.PageSize[1];
    // What the PPD declares: 12 pt on every side the printer cannot reach.
    h.Margins[0] = h.Margins[1] = kMarginPoints;
    h.ImagingBoundingBox[0] = h.ImagingBoundingBox[1] = kMarginPoints;
    h.ImagingBoundingBox[2] =
        page.PageSize[0] > kMarginPoints ? page.PageSize[0] - kMarginPoints : 0;
    h.ImagingBoundingBox[3] =
        page.PageSize[1] > kMarginPoints ? page.PageSize[1] - kMarginPoints : 0;
    h.Duplex = settings.duplex != "None" ? CUPS_TRUE : CUPS_FALSE;
    h.Tumble = settings.duplex == "DuplexTumble" ? CUPS_TRUE : CUPS_FALSE;
    h.NumCopies = static_cast<unsigned>(settings.copies);
    h.Orientation = page.Orientation;
    h.MediaPosition = page.MediaPosition;
    const ImageableArea area = imageable_area(page);
    h.cupsWidth = area.width;
    h.cupsHeight = area.height;
    h.cupsBitsPerColor = 1;
    h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = (area.width + 7) / 8;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.cupsNumColors = 1;
    h.cupsPageSize[0] = static_cast<float>(page.PageSize[0]);
    h.cupsPageSize[1] = static_cast<float>(page.PageSize[1]);
    h.cupsImagingBBox[0] = h.cupsImagingBBox[1] = kMarginPoints;
    h.cupsImagingBBox[2] = static_cast<float>(h.ImagingBoundingBox[2]);
    h.cupsImagingBBox[3] = static_cast<float>(h.ImagingBoundingBox[3]);
    // The PPD's name of the size, as CUPS's raster filters fill it in.
    pwg_media_t* pwg = pwgMediaForSize(static_cast<int>(page.PageSize[0] * 2540 / 72),
                                       static_cast<int>(page.PageSize[1] * 2540 / 72));
    const char* name = pwg ? ppd_media_name(pwg->pwg) : nullptr;
    if (name)
        snprintf(h.cupsPageSizeName, sizeof(h.cupsPageSizeName), "%s", name);
    else
        snprintf(h.cupsPageSizeName, sizeof(h.cupsPageSizeName), "Custom.%ux%u", page.PageSize[0],
                 page.PageSize[1]);
    return h;
}

void dither_line(const unsigned char* grey, unsigned width, unsigned y,
                 const pappl_dither_t& dither, unsigned char* out) {
    const unsigned char* row = dither[y & 15];
    memset(out, 0, (width + 7) / 8);
    for (unsigned x = 0; x < width; x++) {
        // A grey at or below the threshold is black; white paper stays white
        // even where a matrix holds 255.
        unsigned char v = grey[x];
        if (v != 255 && v <= row[x & 15])
            out[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
    }
}

std::string filter_program() {
    const char* env = getenv("TARNWEL_FILTER");
    return env && *env ? env : TARNWEL_DEFAULT_FILTER;
}

std::string ppd_path(const Model& model) {
    const char* env = getenv("TARNWEL_PPD_DIR");
    return std::string(env && *env ? env : TARNWEL_DEFAULT_PPD_DIR) + "/" + model.ppd;
}

JobBridge::JobBridge(pappl_job_t* job, pappl_device_t* device) : job_(job), device_(device) {
    memset(&header_, 0, sizeof(header_));
    memset(dither_, 0, sizeof(dither_));
    pappl_printer_t* printer = papplJobGetPrinter(job);
    const char* uri = printer ? papplPrinterGetDeviceURI(printer) : nullptr;
    deviceUri_ = uri ? uri : "(unknown)";
}

JobBridge::~JobBridge() {
    if (raster_)
        cupsRasterClose(raster_);
    // A filter still running here is killed and reaped by its destructor.
}

bool JobBridge::canceled_by_user() const {
    // papplJobIsCanceled() is also true for a job PAPPL has just aborted,
    // whose stream still ends the normal way.
    return papplJobIsCanceled(job_) && papplJobGetState(job_) != IPP_JSTATE_ABORTED;
}

bool JobBridge::fail(const std::string& reason) {
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
    papplJobSetMessage(job_, "%s", reason.c_str());
    reason_ = reason;
    failed_ = true;
    return false;
}

void JobBridge::log_filter_line(const std::string& line) {
    auto after = [&](size_t n) {
        size_t i = n;
        while (i < line.size() && line[i] == ' ')
            i++;
        return line.substr(i);
    };
    if (line.compare(0, 6, "ERROR:") == 0) {
        std::string text = after(6);
        papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", text.c_str());
        std::lock_guard<std::mutex> guard(logLock_);
        lastError_ = text;
    } else if (line.compare(0, 8, "WARNING:") == 0) {
        papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "%s", after(8).c_str());
    } else if (line.compare(0, 5, "PAGE:") == 0) {
        papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "Printed page %s", after(5).c_str());
        if (countPages_)
            papplJobSetImpressionsCompleted(job_, 1);
    } else {
        papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
    }
}

bool JobBridge::start_job(const pappl_pr_options_t* options, bool countPages) {
    // PAPPL calls the driver once the device is open: a printer that did not
    // answer before does now.
    waited_ = (papplJobGetReasons(job_) & PAPPL_JREASON_PRINTER_STOPPED) != 0;
    printer_answers(job_);
    countPages_ = countPages;
    // PAPPL 1.3.1 takes any media-type a job's media-col names; the printer
    // knows its paper weights only, and a job is not printed on a weight its
    // sender did not ask for.
    if (options->media.type[0] && !known_media_type(options->media.type)) {
        std::string offered;
        for (size_t i = 0; i < kNumPaperWeights; i++)
            offered += std::string(i ? ", " : "") + kPaperWeights[i].mediaType;
        return fail("The media type \"" + std::string(options->media.type) +
                    "\" is not one the printer offers (" + offered + ").");
    }
    settings_ = job_settings(options, papplJobGetAttribute(job_, "print-darkness") != nullptr);
    pappl_printer_t* printer = papplJobGetPrinter(job_);
    const Model* model = find_model(printer ? papplPrinterGetDriverName(printer) : nullptr);
    if (!model)
        return fail("The printer's driver is not one of this application's.");

    filter_ = std::make_unique<FilterProcess>(
        [this](const void* data, size_t size) {
            return papplDeviceWrite(device_, data, size) == static_cast<ssize_t>(size);
        },
        [this](const std::string& line) { log_filter_line(line); });
    char id[32], copies[32];
    snprintf(id, sizeof(id), "%d", papplJobGetID(job_));
    snprintf(copies, sizeof(copies), "%d", settings_.copies);
    const char* user = papplJobGetUsername(job_);
    const char* title = papplJobGetName(job_);
    std::string options_arg = settings_.option_string();
    papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "Printer driver options: %s, copies %d",
                options_arg.c_str(), settings_.copies);
    std::string error;
    if (!filter_->start(
            filter_program(),
            {id, user ? user : "guest", title ? title : "Untitled", copies, options_arg},
            ppd_path(*model), error)) {
        filter_.reset();
        return fail(error);
    }
    out_.reserve(kRasterWriteSize);
    raster_ = cupsRasterOpenIO(buffer_raster, this, CUPS_RASTER_WRITE);
    if (!raster_) {
        filter_.reset();  // stops the filter
        return fail("Unable to open the raster stream to the printer driver.");
    }
    return true;
}

ssize_t JobBridge::buffer_raster(void* ctx, unsigned char* data, size_t size) {
    auto* self = static_cast<JobBridge*>(ctx);
    if (self->out_.size() + size > kRasterWriteSize && !self->flush_raster())
        return -1;
    self->out_.insert(self->out_.end(), data, data + size);
    if (self->out_.size() >= kRasterWriteSize && !self->flush_raster())
        return -1;
    return static_cast<ssize_t>(size);
}

bool JobBridge::flush_raster() {
    size_t done = 0;
    while (done < out_.size()) {
        ssize_t n = write(filter_->input(), out_.data() + done, out_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            out_.clear();
            return false;
        }
        done += static_cast<size_t>(n);
    }
    out_.clear();
    return true;
}

bool JobBridge::start_page(const pappl_pr_options_t* options, unsigned page,
                           const cups_page_header2_t* client) {
    if (failed_)
        return false;
    // PAPPL prints the copies of a JPEG or PNG job by handing the same page
    // over again; the printer makes copies itself from the count in the job
    // header, so a page number that does not advance is not sent twice.
    skipPage_ = page <= lastPage_;
    if (skipPage_)
        return true;
    lastPage_ = page;
    note_page_started();
    memcpy(dither_, options->dither, sizeof(dither_));
    // The page as it comes: the client's own header for a raster document
    // (PAPPL hands a 1-bit page's lines under an 8-bit header of its own),
    // else PAPPL's (JPEG, PNG) or Ghostscript's (PDF).
    const cups_page_header2_t& in = client ? *client : options->header;
    const std::string name = "Page " + std::to_string(page) + ": ";
    if (in.HWResolution[0] == 0 || in.HWResolution[1] == 0)
        return fail(name + "its resolution of " + std::to_string(in.HWResolution[0]) + "x" +
                    std::to_string(in.HWResolution[1]) + " dpi is not valid raster.");
    // PAPPL hands over 1-bit and 8-bit pages; a page of 2 or 4 bits per
    // pixel (1-bit CMYK) passes its checks too, under its own 8-bit header.
    if (client && !(in.cupsBitsPerPixel == 1 && in.cupsBitsPerColor == 1) &&
        !(in.cupsBitsPerPixel == 8 && in.cupsBitsPerColor == 8))
        return fail("The document has a page of " + raster_type_name(in) +
                    " raster: the printer prints grey (sgray_8) and black (black_1) raster, at "
                    "any resolution.");
    // PAPPL reads every line a page claims; scaled down, a page of many
    // lines would be small for the printer and still cost the server each
    // line. No client needs more than four times the printer's resolution.
    if (in.HWResolution[0] > kMaxClientResolution || in.HWResolution[1] > kMaxClientResolution)
        return fail(name + "its resolution of " + std::to_string(in.HWResolution[0]) + "x" +
                    std::to_string(in.HWResolution[1]) + " dpi is more than the printer takes (" +
                    std::to_string(kMaxClientResolution) + " dpi; it prints at " +
                    std::to_string(kResolution) + ").");
    // PAPPL reads a 1-bit page only as far as the job's paper goes at the
    // printer's resolution, and drops the rest of its lines.
    if (client && in.cupsBitsPerPixel == 1 && in.cupsHeight > options->header.cupsHeight)
        return fail(name + "its " + std::to_string(in.cupsHeight) + " lines of 1-bit raster at " +
                    std::to_string(in.HWResolution[1]) + " dpi are more than the " +
                    std::to_string(options->header.cupsHeight) +
                    " of the job's paper at 600 dpi: send the page as 8-bit grey (sgray_8), "
                    "at 600 dpi or less, or name its paper in the job.");
    // Another resolution than the printer's is scaled to it (nearest pixel),
    // so that the page prints at its true size.
    const uint64_t width =
        (uint64_t{in.cupsWidth} * kResolution + in.HWResolution[0] - 1) / in.HWResolution[0];
    const uint64_t height =
        (uint64_t{in.cupsHeight} * kResolution + in.HWResolution[1] - 1) / in.HWResolution[1];
    // A document may claim any width; the line buffer is sized only for
    // what the printer can take, whatever a page header says.
    if (width > kMaxBytesPerLine * 8ull + 2 * kMarginPoints * kResolution / 72)
        return fail(name + std::to_string(width) +
                    " pixels wide is more than the printer accepts (" +
                    std::to_string(kMaxBytesPerLine * 8) + ").");
    // Nor may it claim more lines than a page of the printer has: PAPPL
    // 1.3.1 would go on reading (or padding) up to the claimed height, line
    // by line, long after the document has ended.
    if (height > kMaxLinesPerPage + 2ull * kMarginPoints * kResolution / 72)
        return fail(name + std::to_string(height) +
                    " lines high is more than the printer accepts (" +
                    std::to_string(kMaxLinesPerPage) + ").");
    cups_page_header2_t scaled = in;
    scaled.HWResolution[0] = scaled.HWResolution[1] = kResolution;
    scaled.cupsWidth = static_cast<unsigned>(width);
    scaled.cupsHeight = static_cast<unsigned>(height);
    oneBit_ = in.cupsBitsPerPixel == 1;
    scaled.cupsBytesPerLine = oneBit_ ? (scaled.cupsWidth + 7) / 8 : scaled.cupsWidth;
    header_ = filter_page_header(scaled, settings_);
    if (header_.cupsBytesPerLine > kMaxBytesPerLine)
        return fail(name + std::to_string(scaled.cupsWidth) +
                    " pixels wide is more than the printer accepts (" +
                    std::to_string(kMaxBytesPerLine * 8) + ").");
    if (header_.cupsHeight > kMaxLinesPerPage)
        return fail(name + std::to_string(scaled.cupsHeight) +
                    " lines high is more than the printer accepts (" +
                    std::to_string(kMaxLinesPerPage) + ").");
    area_ = imageable_area(scaled);
    inHeight_ = scaled.cupsHeight;
    inBytesPerLine_ = oneBit_ ? in.cupsBytesPerLine : scaled.cupsBytesPerLine;
    // Which pixel value is black: 1-bit black (PWG black_1) is 1, 8-bit
    // grey (sgray_8) 0; the other way round for white-is-one and 8-bit black.
    const bool black = in.cupsColorSpace == CUPS_CSPACE_K;
    invert_ = oneBit_ ? !black : black;
    clientLines_ = in.cupsHeight;
    clientY_ = 0;
    clientXres_ = in.HWResolution[0];
    clientYres_ = in.HWResolution[1];
    rescale_ = invert_ || clientXres_ != kResolution || clientYres_ != kResolution;
    if (rescale_) {
        // Each pixel of the scaled line comes from the client's pixel under it.
        xmap_.resize(scaled.cupsWidth);
        for (unsigned x = 0; x < scaled.cupsWidth; x++)
            xmap_[x] = static_cast<unsigned>(uint64_t{x} * clientXres_ / kResolution);
        clientWidth_ = in.cupsWidth;
        clientBytesPerLine_ = in.cupsBytesPerLine;
        scaledLine_.assign(scaled.cupsBytesPerLine, 0);
        inBytesPerLine_ = scaled.cupsBytesPerLine;
    }
    bits_.assign(header_.cupsBytesPerLine, 0);
    yIn_ = 0;
    y_ = 0;
    inPage_ = true;
    if (!cupsRasterWriteHeader2(raster_, &header_)) {
        // The filter has stopped reading; its exit status and ERROR: line
        // tell why at the end of the job.
        failed_ = true;
        return false;
    }
    return true;
}

bool JobBridge::write_line(const unsigned char* line) {
    if (failed_)
        return false;
    if (skipPage_ || !inPage_)
        return true;
    if (!rescale_)
        return send_line(line);
    // A line of the client's page: PAPPL pads a 1-bit page up to its own
    // height with lines the client never sent.
    const unsigned yi = clientY_++;
    if (yi >= clientLines_)
        return true;
    // The printer's lines whose nearest client line this is.
    const uint64_t first = (uint64_t{yi} * kResolution + clientYres_ - 1) / clientYres_;
    const uint64_t end = (uint64_t{yi + 1} * kResolution + clientYres_ - 1) / clientYres_;
    if (first >= end)
        return true;
    const unsigned width = static_cast<unsigned>(xmap_.size());
    if (oneBit_) {
        std::fill(scaledLine_.begin(), scaledLine_.end(), 0);
        for (unsigned x = 0; x < width; x++) {
            const unsigned xi = xmap_[x];
            bool set = xi < clientWidth_ && xi / 8 < clientBytesPerLine_ &&
                       ((line[xi / 8] >> (7 - xi % 8)) & 1);
            if (invert_ && xi < clientWidth_)
                set = !set;
            if (set)
                scaledLine_[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
        }
    } else {
        for (unsigned x = 0; x < width; x++) {
            const unsigned xi = xmap_[x];
            const unsigned char v = xi < clientWidth_ && xi < clientBytesPerLine_ ? line[xi] : 255;
            scaledLine_[x] = invert_ && xi < clientWidth_ ? static_cast<unsigned char>(255 - v) : v;
        }
    }
    for (uint64_t n = first; n < end; n++)
        if (!send_line(scaledLine_.data()))
            return false;
    return true;
}

bool JobBridge::send_line(const unsigned char* line) {
    // The lines and pixels in the margins are left out, as CUPS leaves them.
    const unsigned yIn = yIn_++;
    if (yIn < area_.top || y_ >= header_.cupsHeight)
        return true;
    // Pages that come as one bit already (Ghostscript's, for PDF) go as they
    // are; 8-bit grey is dithered with the job's matrix.
    if (oneBit_)
        copy_pixels(line, inBytesPerLine_, area_.left, header_.cupsWidth, bits_.data());
    else
        dither_line(line + area_.left, header_.cupsWidth, y_, dither_, bits_.data());
    y_++;
    if (cupsRasterWritePixels(raster_, bits_.data(), header_.cupsBytesPerLine) == 0) {
        failed_ = true;
        return false;
    }
    return true;
}

bool JobBridge::end_page() {
    if (failed_)
        return false;
    if (skipPage_ || !inPage_)
        return true;
    inPage_ = false;
    const unsigned received = std::min(yIn_, inHeight_);
    const bool canceled = canceled_by_user();
    // A page cut short is completed with white lines, so that the raster and
    // the printer's stream stay whole; the filter then finishes the page.
    // (A cancelled job's filter is stopped instead.)
    std::fill(bits_.begin(), bits_.end(), 0);
    while (y_ < header_.cupsHeight && !canceled) {
        if (cupsRasterWritePixels(raster_, bits_.data(), header_.cupsBytesPerLine) == 0) {
            failed_ = true;
            return false;
        }
        y_++;
    }
    // PAPPL 1.3.1 counts a PWG raster that ends inside a page as printed:
    // the job is aborted here, with the page and line where the data ended.
    if (received < inHeight_ && !canceled) {
        // A limit of the server's that stopped the document says so.
        documentCut_ = document_stop_reason();
        if (documentCut_.empty())
            documentCut_ = "The document ends inside page " + std::to_string(lastPage_) +
                           ", after line " + std::to_string(received) + " of " +
                           std::to_string(inHeight_) + ": it was cut short.";
        papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", documentCut_.c_str());
        papplJobSetMessage(job_, "%s", documentCut_.c_str());
        papplJobSetReasons(job_, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        return false;
    }
    // The whole page goes to the filter now, whenever the next one comes.
    if (!flush_raster()) {
        failed_ = true;
        return false;
    }
    return true;
}

void JobBridge::stop(const std::string& reason) {
    fail(reason);
    papplJobSetReasons(job_, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    stopped_ = true;
}

bool JobBridge::end_job() {
    if (!filter_)
        return false;
    // The watch of unreachable printers may have marked the job waiting just
    // as its device opened: it is not waiting any more.
    if (papplJobGetReasons(job_) & PAPPL_JREASON_PRINTER_STOPPED) {
        waited_ = true;
        papplJobSetReasons(job_, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
    }
    bool canceled = canceled_by_user();
    // Cancelled or stopped: the filter is asked to stop, as CUPS asks it, and
    // still closes the stream so that the printer is left ready for the next
    // job.
    if (canceled || stopped_)
        filter_->terminate();
    if (raster_) {
        cupsRasterClose(raster_);
        raster_ = nullptr;
        if (!canceled && !stopped_ && !flush_raster())
            failed_ = true;
    }
    int status = filter_->wait();
    bool outputFailed = filter_->output_failed();
    if (!outputFailed)
        papplDeviceFlush(device_);
    filter_.reset();

    if (outputFailed) {
        fail("The printer at " + deviceUri_ +
             " stopped taking data: it may be switched off, disconnected or out of paper.");
        papplJobSetReasons(job_, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    }
    if (canceled)
        return true;
    if (stopped_)
        return false;  // stop() has said why
    if (!documentCut_.empty()) {
        papplJobSetMessage(job_, "%s", documentCut_.c_str());
        papplJobSetReasons(job_, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        return false;
    }
    // PAPPL 1.3.1 aborts a raster job with a page it does not take (colour,
    // 16-bit) or a page header that does not agree with itself (bytes per
    // line against width and bits, no lines, an unknown colour order) with
    // no message but "Job aborted.".
    if (papplJobGetState(job_) == IPP_JSTATE_ABORTED &&
        (papplJobGetReasons(job_) &
         (PAPPL_JREASON_DOCUMENT_FORMAT_ERROR | PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR)) &&
        !papplJobGetMessage(job_)) {
        // (The header this thread read last is the client's only in PAPPL's
        // raster path.)
        const char* format = papplJobGetFormat(job_);
        const bool raster =
            format && (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
        const cups_page_header2_t* page = raster ? last_raster_header() : nullptr;
        std::string reason;
        if (page && (page->cupsBitsPerPixel > 8 ||
                     (page->cupsBitsPerColor != 1 && page->cupsBitsPerColor != 8)))
            reason = "The document has a page of " + raster_type_name(*page) +
                     " raster: the printer prints grey (sgray_8) and black (black_1) raster, at "
                     "any resolution.";
        else
            reason =
                "A page header of the document is not valid PWG raster: its width, bits "
                "per pixel and bytes per line do not agree.";
        papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
        papplJobSetMessage(job_, "%s", reason.c_str());
        return false;
    }
    if (status != 0) {
        std::string lastError;
        {
            std::lock_guard<std::mutex> guard(logLock_);
            lastError = lastError_;
        }
        // A crash says so first: whatever the filter wrote before it may be
        // only what led to it.
        std::string reason;
        if (status > 128)
            reason = "The printer driver crashed (signal " + std::to_string(status - 128) + ", " +
                     strsignal(status - 128) + ")" +
                     (lastError.empty() ? "." : " after: " + lastError);
        else if (!lastError.empty())
            reason = lastError;
        else
            reason = "The printer driver failed (exit status " + std::to_string(status) + ").";
        papplJobSetMessage(job_, "%s", reason.c_str());
        papplJobSetReasons(job_, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    }
    if (failed_)
        return reason_.empty() ? fail("The printer driver stopped reading the job.") : false;
    if (waited_)
        papplJobSetMessage(job_, "Printed once the printer answered again.");
    return true;
}

// ---------------------------------------------------------------------------
// PAPPL's raster callbacks
// ---------------------------------------------------------------------------
static JobBridge* bridge_of(pappl_job_t* job) {
    return static_cast<JobBridge*>(papplJobGetData(job));
}

bool rstartjob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    auto* bridge = new JobBridge(job, device);
    if (!bridge->start_job(options, false)) {
        // PAPPL ends a job whose start failed without calling rendjob.
        delete bridge;
        return false;
    }
    papplJobSetData(job, bridge);
    return true;
}

bool rstartpage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page) {
    JobBridge* bridge = bridge_of(job);
    // A raster document's page as the client sent it; PAPPL read its header
    // on this thread just now.
    const char* format = papplJobGetFormat(job);
    const bool raster =
        format && (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
    return bridge && bridge->start_page(options, page, raster ? last_raster_header() : nullptr);
}

bool rwriteline(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned,
                const unsigned char* line) {
    JobBridge* bridge = bridge_of(job);
    return bridge && bridge->write_line(line);
}

bool rendpage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    JobBridge* bridge = bridge_of(job);
    return bridge && bridge->end_page();
}

bool rendjob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    JobBridge* bridge = bridge_of(job);
    if (!bridge)
        return false;
    bool ok = bridge->end_job();
    delete bridge;
    papplJobSetData(job, nullptr);
    return ok;
}

}  // namespace tarnwel
