// SPDX-License-Identifier: Apache-2.0
// The printer models and what they offer, in one table: the app's drivers,
// their make and model strings and IEEE-1284 device IDs, the media, and the
// choices of the job options. The same models are described for CUPS in
// ppd/tarnwel.drv; a test holds the two together.
#ifndef TARNWEL_APP_MODELS_H
#define TARNWEL_APP_MODELS_H

#include <cstddef>

namespace tarnwel {

struct Model {
    const char* driver;     // PAPPL driver name
    const char* model;      // model name, as in the PPD's ModelName
    const char* makeModel;  // printer-make-and-model, the PPD's NickName
    const char* deviceId;   // IEEE-1284 device ID the printer reports on USB
    const char* ppd;        // file name of the PPD that ppdc builds for it
    int pagesPerMinute;
};

extern const char kMake[];
extern const Model kModels[];
extern const size_t kNumModels;

// The paper sizes the printer takes: the PPD's name and PWG's.
struct MediaSize {
    const char* ppdName;
    const char* pwgName;
};
extern const MediaSize kMediaSizes[];
extern const size_t kNumMediaSizes;
extern const char kDefaultMedia[];  // PWG name
extern const char kCustomMin[];     // smallest custom size, PWG "custom_min_..."
extern const char kCustomMax[];     // largest custom size, PWG "custom_max_..."

constexpr int kResolution = 600;   // dots per inch, both ways
constexpr int kMarginPoints = 12;  // the printer cannot reach 12 pt on every side
// The same margin in hundredths of millimetres, as IPP gives margins.
constexpr int kMarginHmm = kMarginPoints * 2540 / 72;
// The longest raster line the printer takes, in bytes of one-bit pixels.
constexpr unsigned kMaxBytesPerLine = 8192;
// The most lines a page may have.
constexpr unsigned kMaxLinesPerPage = 65535;

// The five print densities: the PPD's PrintDensity choice, the standard IPP
// print-darkness value that stands for it, and the words a person reads on
// the web page (lightest first).
struct DensityLevel {
    const char* choice;
    int darkness;
    const char* label;
};
extern const DensityLevel kDensityLevels[];
extern const size_t kNumDensityLevels;
extern const int kDefaultDarkness;

// The three paper weights: the PPD's PaperWeight choice, the standard IPP
// media-type keyword that stands for it, and the words on the web page.
struct PaperWeight {
    const char* choice;
    const char* mediaType;
    const char* label;
};
extern const PaperWeight kPaperWeights[];
extern const size_t kNumPaperWeights;
extern const char kDefaultMediaType[];

// Two-sided printing: the PPD's Duplex choice, the IPP sides keyword and the
// words on the web page.
struct SidesChoice {
    const char* choice;
    const char* sides;
    const char* label;
};
extern const SidesChoice kSidesChoices[];
extern const size_t kNumSidesChoices;

// The names of the settings on the web page, under the PPD's option names.
struct OptionLabel {
    const char* option;
    const char* label;
};
extern const OptionLabel kOptionLabels[];
extern const size_t kNumOptionLabels;

const Model* find_model(const char* driver);
// The model whose manufacturer and model in a device ID match ours, or null.
const Model* model_for_device_id(const char* deviceId);
// The PrintDensity choice nearest to a print-darkness value (-100 to 100).
const char* density_choice(int darkness);
// Whether a media-type keyword is one of the paper weights.
bool known_media_type(const char* mediaType);
// The PaperWeight choice of a media-type keyword; plain paper when unknown.
const char* paper_weight_choice(const char* mediaType);
// The PPD's name of a PWG paper size, or null for a custom size.
const char* ppd_media_name(const char* pwgName);

}  // namespace tarnwel

#endif
