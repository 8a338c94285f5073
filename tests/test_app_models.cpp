// SPDX-License-Identifier: Apache-2.0
// The printer application's model table against the PPDs that ppdc builds
// from ppd/tarnwel.drv, and the pieces of the job bridge that need no server.
#include <cups/ppd.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "app_server.h"
#include "job_bridge.h"
#include "models.h"

using namespace tarnwel;

namespace {

struct PpdFile {
    explicit PpdFile(const std::string& name)
        : ppd(ppdOpenFile((std::string(TARNWEL_PPD_BUILD_DIR) + "/" + name).c_str())) {}
    ~PpdFile() {
        if (ppd)
            ppdClose(ppd);
    }
    std::string attr(const char* name) const {
        ppd_attr_t* a = ppdFindAttr(ppd, name, nullptr);
        return a && a->value ? a->value : "";
    }
    std::set<std::string> choices(const char* option) const {
        std::set<std::string> out;
        ppd_option_t* o = ppdFindOption(ppd, option);
        for (int i = 0; o && i < o->num_choices; i++)
            out.insert(o->choices[i].choice);
        return out;
    }
    std::string default_choice(const char* option) const {
        ppd_option_t* o = ppdFindOption(ppd, option);
        return o ? o->defchoice : "";
    }
    ppd_file_t* ppd;
};

}  // namespace

TEST(AppModels, EveryPpdHasItsDriverAndEveryDriverItsPpd) {
    // The PPDs ppdc builds are exactly those the table names.
    std::set<std::string> tablePpds;
    for (size_t i = 0; i < kNumModels; i++)
        tablePpds.insert(kModels[i].ppd);
    std::set<std::string> built;
    if (DIR* d = opendir(TARNWEL_PPD_BUILD_DIR)) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ppd") == 0)
                built.insert(name);
        }
        closedir(d);
    }
    EXPECT_EQ(tablePpds, built);
}

TEST(AppModels, MakeModelAndDeviceIdMatchThePpd) {
    for (size_t i = 0; i < kNumModels; i++) {
        const Model& m = kModels[i];
        SCOPED_TRACE(m.driver);
        PpdFile f(m.ppd);
        ASSERT_NE(f.ppd, nullptr);
        EXPECT_EQ(f.attr("NickName"), m.makeModel);
        EXPECT_EQ(f.attr("ModelName"), m.makeModel);
        EXPECT_EQ(f.attr("Manufacturer"), kMake);
        EXPECT_EQ(f.attr("1284DeviceID"), m.deviceId);
        EXPECT_EQ(f.attr("PCFileName"), m.ppd);
        EXPECT_EQ(std::string(kMake) + " " + m.model, m.makeModel);
        // A USB printer reporting this ID is set up with this driver.
        EXPECT_EQ(model_for_device_id(m.deviceId), &m);
        EXPECT_EQ(f.attr("DefaultResolution"), std::to_string(kResolution) + "dpi");
    }
}

TEST(AppModels, MediaSizesRangeAndMarginsMatchThePpd) {
    for (size_t i = 0; i < kNumModels; i++) {
        SCOPED_TRACE(kModels[i].driver);
        PpdFile f(kModels[i].ppd);
        ASSERT_NE(f.ppd, nullptr);
        std::set<std::string> ppdSizes, tableSizes;
        for (int s = 0; s < f.ppd->num_sizes; s++) {
            const ppd_size_t& size = f.ppd->sizes[s];
            if (strcmp(size.name, "Custom") == 0)
                continue;
            ppdSizes.insert(size.name);
            EXPECT_EQ(size.left, kMarginPoints) << size.name;
            EXPECT_EQ(size.bottom, kMarginPoints) << size.name;
            EXPECT_EQ(size.width - size.right, kMarginPoints) << size.name;
            EXPECT_EQ(size.length - size.top, kMarginPoints) << size.name;
            // The app offers the same paper under PWG's name, of the same size.
            const char* ppdName = nullptr;
            for (size_t t = 0; t < kNumMediaSizes; t++) {
                pwg_media_t* pwg = pwgMediaForPWG(kMediaSizes[t].pwgName);
                ASSERT_NE(pwg, nullptr) << kMediaSizes[t].pwgName;
                if (strcmp(kMediaSizes[t].ppdName, size.name) == 0) {
                    ppdName = kMediaSizes[t].ppdName;
                    EXPECT_NEAR(pwg->width * 72.0 / 2540, size.width, 1.0) << size.name;
                    EXPECT_NEAR(pwg->length * 72.0 / 2540, size.length, 1.0) << size.name;
                }
            }
            EXPECT_NE(ppdName, nullptr) << size.name << " is missing from the app's media";
        }
        for (size_t t = 0; t < kNumMediaSizes; t++)
            tableSizes.insert(kMediaSizes[t].ppdName);
        EXPECT_EQ(ppdSizes, tableSizes);
        EXPECT_EQ(f.attr("DefaultPageSize"), ppd_media_name(kDefaultMedia));

        ASSERT_TRUE(f.ppd->variable_sizes);
        // libcups returns custom sizes in one buffer: each is read at once.
        pwg_media_t* min = pwgMediaForPWG(kCustomMin);
        ASSERT_NE(min, nullptr);
        EXPECT_NEAR(min->width * 72.0 / 2540, f.ppd->custom_min[0], 1.0);
        EXPECT_NEAR(min->length * 72.0 / 2540, f.ppd->custom_min[1], 1.0);
        pwg_media_t* max = pwgMediaForPWG(kCustomMax);
        ASSERT_NE(max, nullptr);
        EXPECT_NEAR(max->width * 72.0 / 2540, f.ppd->custom_max[0], 1.0);
        EXPECT_NEAR(max->length * 72.0 / 2540, f.ppd->custom_max[1], 1.0);
    }
}

TEST(AppModels, OptionChoicesAndDefaultsMatchThePpd) {
    for (size_t i = 0; i < kNumModels; i++) {
        SCOPED_TRACE(kModels[i].driver);
        PpdFile f(kModels[i].ppd);
        ASSERT_NE(f.ppd, nullptr);
        std::set<std::string> densities, weights;
        for (size_t d = 0; d < kNumDensityLevels; d++)
            densities.insert(kDensityLevels[d].choice);
        for (size_t w = 0; w < kNumPaperWeights; w++)
            weights.insert(kPaperWeights[w].choice);
        EXPECT_EQ(f.choices("PrintDensity"), densities);
        EXPECT_EQ(f.choices("PaperWeight"), weights);
        EXPECT_EQ(f.choices("Duplex"),
                  (std::set<std::string>{"None", "DuplexNoTumble", "DuplexTumble"}));
        EXPECT_EQ(f.default_choice("PrintDensity"), density_choice(kDefaultDarkness));
        EXPECT_EQ(f.default_choice("PaperWeight"), paper_weight_choice(kDefaultMediaType));
        EXPECT_EQ(f.default_choice("Duplex"), "None");
    }
}

TEST(AppModels, DeviceIdsOfOtherPrintersFindNoDriver) {
    EXPECT_EQ(model_for_device_id("MFG:Other;MDL:Mono Laser 20;"), nullptr);
    EXPECT_EQ(model_for_device_id("MFG:Tarnwel;MDL:Mono Laser 99;"), nullptr);
    EXPECT_EQ(model_for_device_id(""), nullptr);
    EXPECT_EQ(model_for_device_id(nullptr), nullptr);
    // The long key names and other cases some printers send.
    EXPECT_EQ(model_for_device_id("MANUFACTURER:TARNWEL;MODEL:mono laser 24 pro;"),
              find_model("tnml24p"));
}

TEST(AppBridge, DarknessPicksTheNearestDensity) {
    struct Case {
        int darkness;
        const char* choice;
    } cases[] = {
        {-100, "Light"},      {-76, "Light"},     {-74, "MediumLight"}, {-50, "MediumLight"},
        {-26, "MediumLight"}, {0, "Medium"},      {24, "Medium"},       {26, "MediumDark"},
        {50, "MediumDark"},   {74, "MediumDark"}, {76, "Dark"},         {100, "Dark"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(density_choice(c.darkness), c.choice) << c.darkness;
}

TEST(AppBridge, MediaTypesAreThePaperWeights) {
    EXPECT_STREQ(paper_weight_choice("stationery"), "Medium");
    EXPECT_STREQ(paper_weight_choice("stationery-heavyweight"), "MediumHeavy");
    EXPECT_STREQ(paper_weight_choice("cardstock"), "VeryHeavy");
    EXPECT_STREQ(paper_weight_choice("transparency"), "Medium");
    EXPECT_STREQ(paper_weight_choice(nullptr), "Medium");
}

TEST(AppBridge, OptionStringNamesEveryOption) {
    JobSettings s;
    s.density = "Dark";
    s.weight = "VeryHeavy";
    s.duplex = "DuplexTumble";
    EXPECT_EQ(s.option_string(), "PrintDensity=Dark PaperWeight=VeryHeavy Duplex=DuplexTumble");
}

TEST(AppBridge, DitherKeepsWhiteWhiteAndBlackBlack) {
    pappl_dither_t all255, all0;
    memset(all255, 255, sizeof(all255));
    memset(all0, 0, sizeof(all0));
    unsigned char grey[20], out[3];
    memset(grey, 255, sizeof(grey));
    grey[0] = 0;
    grey[9] = 0;
    grey[19] = 0;
    // A matrix cell of 255 must not blacken white paper.
    dither_line(grey, 20, 0, all255, out);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 0x40);
    EXPECT_EQ(out[2], 0x10);  // last pixel of a partial byte, the rest left clear
    dither_line(grey, 20, 0, all0, out);
    EXPECT_EQ(out[0], 0x80);
    EXPECT_EQ(out[1], 0x40);
    EXPECT_EQ(out[2], 0x10);
    // Mid grey follows the threshold of its column.
    memset(grey, 128, sizeof(grey));
    pappl_dither_t half;
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++)
            half[y][x] = static_cast<unsigned char>(x % 2 ? 200 : 50);
    dither_line(grey, 16, 3, half, out);
    EXPECT_EQ(out[0], 0x55);
    EXPECT_EQ(out[1], 0x55);
}

TEST(AppBridge, FilterHeaderIsOneBitWithThePpdPaperName) {
    cups_page_header2_t page;
    memset(&page, 0, sizeof(page));
    page.HWResolution[0] = page.HWResolution[1] = 600;
    page.PageSize[0] = 612;
    page.PageSize[1] = 792;
    page.cupsWidth = 5100;
    page.cupsHeight = 6600;
    page.cupsBitsPerColor = page.cupsBitsPerPixel = 8;
    page.cupsBytesPerLine = 5100;
    JobSettings s;
    s.copies = 3;
    s.duplex = "DuplexTumble";
    cups_page_header2_t h = filter_page_header(page, s);
    EXPECT_EQ(h.cupsBitsPerPixel, 1u);
    // The imageable area, as CUPS renders it for the PPD: 12 pt (100 dots)
    // less on every side.
    EXPECT_EQ(h.cupsWidth, 4900u);
    EXPECT_EQ(h.cupsHeight, 6400u);
    EXPECT_EQ(h.cupsBytesPerLine, 613u);
    EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_K);
    EXPECT_EQ(h.NumCopies, 3u);
    EXPECT_EQ(h.Duplex, CUPS_TRUE);
    EXPECT_EQ(h.Tumble, CUPS_TRUE);
    EXPECT_STREQ(h.cupsPageSizeName, "Letter");
    EXPECT_EQ(h.ImagingBoundingBox[3], 780u);
    page.PageSize[0] = 300;
    page.PageSize[1] = 500;
    EXPECT_STREQ(filter_page_header(page, s).cupsPageSizeName, "Custom.300x500");
}

TEST(AppBridge, ImageableAreaLeavesTheMarginsOut) {
    cups_page_header2_t page;
    memset(&page, 0, sizeof(page));
    page.HWResolution[0] = page.HWResolution[1] = 600;
    struct {
        unsigned width, height, left, top, outWidth, outHeight;
    } cases[] = {
        {5100, 6600, 100, 100, 4900, 6400},  // Letter
        {201, 201, 100, 100, 1, 1},          // one dot within the margins
        {200, 6600, 0, 0, 200, 6600},        // narrower than both margins: whole
        {5100, 150, 0, 0, 5100, 150},        // lower than both margins: whole
    };
    for (const auto& c : cases) {
        page.cupsWidth = c.width;
        page.cupsHeight = c.height;
        ImageableArea a = imageable_area(page);
        EXPECT_EQ(a.left, c.left) << c.width << "x" << c.height;
        EXPECT_EQ(a.top, c.top) << c.width << "x" << c.height;
        EXPECT_EQ(a.width, c.outWidth) << c.width << "x" << c.height;
        EXPECT_EQ(a.height, c.outHeight) << c.width << "x" << c.height;
    }
}

// A line's pixels from any offset, against a pixel-by-pixel copy.
TEST(AppBridge, CopiedPixelsAreTheLinesFromTheOffset) {
    std::vector<unsigned char> in(40);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = static_cast<unsigned char>(i * 37 + 11);
    auto pixel = [&](unsigned x) { return (in[x / 8] >> (7 - x % 8)) & 1; };
    struct {
        unsigned left, width;
    } cases[] = {{0, 320}, {0, 13}, {4, 300}, {100, 220}, {7, 313}, {9, 1}, {300, 20}};
    for (const auto& c : cases) {
        std::vector<unsigned char> out((c.width + 7) / 8 + 1, 0xEE);
        copy_pixels(in.data(), in.size(), c.left, c.width, out.data());
        for (unsigned x = 0; x < (c.width + 7) / 8 * 8; x++) {
            const unsigned want = x < c.width ? pixel(c.left + x) : 0;
            ASSERT_EQ((out[x / 8] >> (7 - x % 8)) & 1, want)
                << "left " << c.left << " width " << c.width << " pixel " << x;
        }
        EXPECT_EQ(out.back(), 0xEE) << "written past the line";
    }
}

TEST(AppServerLog, FindsJobsThatRanAtOnce) {
    const std::string oneAfterOther =
        "I [t] [Job 3] Starting print job.\n"
        "I [t] [Job 3] Printed page 1 1\n"
        "I [t] [Job 3] Completed, job-impressions-completed=1.\n"
        "I [t] [Job 4] Starting print job.\n"
        "I [t] [Job 4] Aborted, job-impressions-completed=0.\n"
        "I [t] [Job 5] Starting print job.\n";
    EXPECT_EQ(overlapping_jobs(oneAfterOther), "");
    const std::string atOnce =
        "I [t] [Job 3] Starting print job.\n"
        "I [t] [Job 5] Starting print job.\n"
        "I [t] [Job 5] Completed, job-impressions-completed=3.\n";
    EXPECT_EQ(overlapping_jobs(atOnce), "3 and 5");
}

TEST(AppModels, WebLabelsSayWhatThePpdSays) {
    // The web page words the settings as the PPD does, in g/m² for gsm and
    // with a capital only at the start of an option's name.
    auto web = [](std::string text) {
        for (size_t at; (at = text.find(" gsm")) != std::string::npos;)
            text.replace(at, 4, " g/m²");
        return text;
    };
    auto sentence = [](std::string text) {
        for (size_t i = 1; i < text.size(); i++)
            text[i] = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
        return text;
    };
    auto label = [](const char* option) {
        for (size_t i = 0; i < kNumOptionLabels; i++)
            if (std::string(kOptionLabels[i].option) == option)
                return std::string(kOptionLabels[i].label);
        return std::string();
    };
    PpdFile f(kModels[0].ppd);
    ASSERT_NE(f.ppd, nullptr);
    ppd_option_t* density = ppdFindOption(f.ppd, "PrintDensity");
    ppd_option_t* weight = ppdFindOption(f.ppd, "PaperWeight");
    ASSERT_TRUE(density && weight);
    EXPECT_EQ(sentence(density->text), label("PrintDensity"));
    EXPECT_EQ(sentence(weight->text), label("PaperWeight"));
    for (size_t i = 0; i < kNumDensityLevels; i++) {
        ppd_choice_t* c = ppdFindChoice(density, kDensityLevels[i].choice);
        ASSERT_NE(c, nullptr) << kDensityLevels[i].choice;
        EXPECT_EQ(web(c->text), kDensityLevels[i].label);
    }
    for (size_t i = 0; i < kNumPaperWeights; i++) {
        ppd_choice_t* c = ppdFindChoice(weight, kPaperWeights[i].choice);
        ASSERT_NE(c, nullptr) << kPaperWeights[i].choice;
        EXPECT_EQ(web(c->text), kPaperWeights[i].label);
    }
    for (size_t i = 0; i < kNumSidesChoices; i++)
        EXPECT_NE(ppdFindChoice(ppdFindOption(f.ppd, "Duplex"), kSidesChoices[i].choice), nullptr)
            << kSidesChoices[i].choice;
}
