// SPDX-License-Identifier: Apache-2.0
#include "models.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace tarnwel {

const char kMake[] = "Tarnwel";

const Model kModels[] = {
    {"tnml20", "Mono Laser 20", "Tarnwel Mono Laser 20",
     "MFG:Tarnwel;MDL:Mono Laser 20;CMD:TARNWEL;", "tnml20.ppd", 20},
    {"tnml24p", "Mono Laser 24 Pro", "Tarnwel Mono Laser 24 Pro",
     "MFG:Tarnwel;MDL:Mono Laser 24 Pro;CMD:TARNWEL;", "tnml24p.ppd", 24},
};
const size_t kNumModels = sizeof(kModels) / sizeof(kModels[0]);

const MediaSize kMediaSizes[] = {
    {"Letter", "na_letter_8.5x11in"},
    {"Legal", "na_legal_8.5x14in"},
    {"Executive", "na_executive_7.25x10.5in"},
    {"A4", "iso_a4_210x297mm"},
    {"A5", "iso_a5_148x210mm"},
    {"A6", "iso_a6_105x148mm"},
    {"B5", "jis_b5_182x257mm"},
    {"Env10", "na_number-10_4.125x9.5in"},
    {"EnvDL", "iso_dl_110x220mm"},
    {"EnvC5", "iso_c5_162x229mm"},
    {"EnvMonarch", "na_monarch_3.875x7.5in"},
};
const size_t kNumMediaSizes = sizeof(kMediaSizes) / sizeof(kMediaSizes[0]);
const char kDefaultMedia[] = "na_letter_8.5x11in";
const char kCustomMin[] = "custom_min_3x5in";
const char kCustomMax[] = "custom_max_8.5x14in";

// print-darkness runs from -100 (lightest) to 100 (darkest) with 0 as the
// printer's normal; five evenly spaced values name the five levels.
const DensityLevel kDensityLevels[] = {
    {"Light", -100, "Lightest (saves toner)"},
    {"MediumLight", -50, "Lighter"},
    {"Medium", 0, "Normal"},
    {"MediumDark", 50, "Darker"},
    {"Dark", 100, "Darkest"},
};
const size_t kNumDensityLevels = sizeof(kDensityLevels) / sizeof(kDensityLevels[0]);
const int kDefaultDarkness = 0;

const PaperWeight kPaperWeights[] = {
    {"Medium", "stationery", "Plain (60-90 g/m²)"},
    {"MediumHeavy", "stationery-heavyweight", "Thick (90-120 g/m²)"},
    {"VeryHeavy", "cardstock", "Heavy (card stock, 120-163 g/m²)"},
};
const size_t kNumPaperWeights = sizeof(kPaperWeights) / sizeof(kPaperWeights[0]);
const char kDefaultMediaType[] = "stationery";

const SidesChoice kSidesChoices[] = {
    {"None", "one-sided", "Off"},
    {"DuplexNoTumble", "two-sided-long-edge", "Long edge (turn pages like a book)"},
    {"DuplexTumble", "two-sided-short-edge", "Short edge (flip pages like a notepad)"},
};
const size_t kNumSidesChoices = sizeof(kSidesChoices) / sizeof(kSidesChoices[0]);

const OptionLabel kOptionLabels[] = {
    {"ModelName", "Printer model"},    {"PageSize", "Paper size"},
    {"PaperWeight", "Paper weight"},   {"Duplex", "Two-sided printing"},
    {"PrintDensity", "Print density"},
};
const size_t kNumOptionLabels = sizeof(kOptionLabels) / sizeof(kOptionLabels[0]);

const Model* find_model(const char* driver) {
    for (const Model& m : kModels)
        if (driver && strcmp(driver, m.driver) == 0)
            return &m;
    return nullptr;
}

// The value of one key of an IEEE-1284 device ID ("MFG:...;MDL:...;"),
// accepting the long key names some printers send.
static std::string device_id_value(const char* id, const char* key, const char* longKey) {
    std::string s(id ? id : "");
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find(';', pos);
        if (end == std::string::npos)
            end = s.size();
        std::string item = s.substr(pos, end - pos);
        size_t colon = item.find(':');
        if (colon != std::string::npos) {
            std::string k = item.substr(0, colon);
            while (!k.empty() && k.front() == ' ')
                k.erase(0, 1);
            if (strcasecmp(k.c_str(), key) == 0 || strcasecmp(k.c_str(), longKey) == 0)
                return item.substr(colon + 1);
        }
        pos = end + 1;
    }
    return "";
}

const Model* model_for_device_id(const char* deviceId) {
    std::string mfg = device_id_value(deviceId, "MFG", "MANUFACTURER");
    std::string mdl = device_id_value(deviceId, "MDL", "MODEL");
    if (strcasecmp(mfg.c_str(), kMake) != 0)
        return nullptr;
    for (const Model& m : kModels)
        if (strcasecmp(mdl.c_str(), m.model) == 0)
            return &m;
    return nullptr;
}

const char* density_choice(int darkness) {
    const DensityLevel* best = &kDensityLevels[0];
    for (const DensityLevel& level : kDensityLevels)
        if (std::abs(level.darkness - darkness) < std::abs(best->darkness - darkness))
            best = &level;
    return best->choice;
}

bool known_media_type(const char* mediaType) {
    for (const PaperWeight& w : kPaperWeights)
        if (mediaType && strcmp(mediaType, w.mediaType) == 0)
            return true;
    return false;
}

const char* paper_weight_choice(const char* mediaType) {
    for (const PaperWeight& w : kPaperWeights)
        if (mediaType && strcmp(mediaType, w.mediaType) == 0)
            return w.choice;
    return kPaperWeights[0].choice;
}

const char* ppd_media_name(const char* pwgName) {
    for (const MediaSize& m : kMediaSizes)
        if (pwgName && strcmp(pwgName, m.pwgName) == 0)
            return m.ppdName;
    return nullptr;
}

}  // namespace tarnwel
