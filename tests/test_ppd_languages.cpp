// SPDX-License-Identifier: Apache-2.0
// The PPDs in other languages: a print dialog running in German, French,
// Spanish or Italian asks libcups for the PPD's strings in its language
// (ppdLocalize) and shows every option and choice in that language.
#include <cups/ppd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>

namespace {

const std::string kPpdDir = std::string(TARNWEL_BINARY_DIR) + "/ppd/ppd";

// "Option" -> its text, "Option=Choice" -> the choice's text.
using Texts = std::map<std::string, std::string>;

Texts ppd_texts(const std::string& path, const char* lang) {
    // Without a locale set by the program, libcups takes the language from
    // the environment, as it does for a dialog started in that language.
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", lang, 1);
    Texts texts;
    ppd_file_t* ppd = ppdOpenFile(path.c_str());
    EXPECT_NE(ppd, nullptr) << path;
    if (!ppd)
        return texts;
    if (lang[0] != 'C') {
        EXPECT_EQ(ppdLocalize(ppd), 0);
    }
    for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd)) {
        texts[o->keyword] = o->text;
        for (int i = 0; i < o->num_choices; i++)
            texts[std::string(o->keyword) + "=" + o->choices[i].choice] = o->choices[i].text;
    }
    ppdClose(ppd);
    unsetenv("LANG");
    return texts;
}

// Names that read the same in every one of the languages.
const std::set<std::string> kSameEverywhere = {"A4",        "A5",       "A6",    "JIS B5",
                                               "US Letter", "US Legal", "Normal"};

TEST(PpdLanguages, OptionsAndChoicesInEveryLanguage) {
    struct Case {
        const char* lang;
        const char* density;
        const char* lightest;
        const char* weight;
        const char* card;
        const char* duplex;
    } cases[] = {
        {"de_DE.UTF-8", "Druckdichte", "Sehr hell (spart Toner)", "Papiergewicht",
         "Schwer (Karton, 120-163 g/m²)", "Doppelseitiger Druck"},
        {"fr_FR.UTF-8", "Densité d'impression", "Très claire (économise le toner)",
         "Grammage du papier", "Très épais (carte, 120-163 g/m²)", "Impression recto-verso"},
        {"es_ES.UTF-8", "Densidad de impresión", "Muy clara (ahorra tóner)", "Gramaje del papel",
         "Muy grueso (cartulina, 120-163 g/m²)", "Dúplex"},
        {"it_IT.UTF-8", "Densità di stampa", "Molto chiara (risparmia toner)",
         "Grammatura della carta", "Pesante (cartoncino, 120-163 g/m²)", "Stampa fronte/retro"},
    };
    for (const char* model : {"tnml20.ppd", "tnml24p.ppd"}) {
        std::string path = kPpdDir + "/" + model;
        Texts english = ppd_texts(path, "C");
        ASSERT_EQ(english["PrintDensity"], "Print Density");
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(model) + " in " + c.lang);
            Texts texts = ppd_texts(path, c.lang);
            EXPECT_EQ(texts["PrintDensity"], c.density);
            EXPECT_EQ(texts["PrintDensity=Light"], c.lightest);
            EXPECT_EQ(texts["PaperWeight"], c.weight);
            EXPECT_EQ(texts["PaperWeight=VeryHeavy"], c.card);
            EXPECT_EQ(texts["Duplex"], c.duplex);
            // Every option and choice of the PPD is in the language: a new
            // option without its translations shows up here.
            ASSERT_EQ(texts.size(), english.size());
            for (const auto& [key, text] : english) {
                // Dialogs hide PageRegion (CUPS sets it with PageSize) and
                // label the custom size themselves.
                if (kSameEverywhere.count(text) || key.rfind("PageRegion", 0) == 0 ||
                    key == "PageSize=Custom")
                    continue;
                EXPECT_NE(texts[key], text) << key << " is not translated";
            }
        }
    }
}

}  // namespace
