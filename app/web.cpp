// SPDX-License-Identifier: Apache-2.0
#include "web.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "models.h"

// PAPPL's own add-printer page. It is not part of PAPPL's public API, but
// libpappl exports it, and it is the only way to keep PAPPL's page (its device
// list and form) behind a page of ours at the same address.
extern "C" void _papplSystemWebAddPrinter(pappl_client_t* client, pappl_system_t* system);

namespace tarnwel {

namespace {

// The add-printer page's words when discovery is missing.
const struct {
    const char* key;
    const char* text;
} kPageTexts[] = {
    {"AddPrinter.Unavailable", "Printer discovery is not available: avahi-daemon is not running."},
    {"AddPrinter.StartAvahi",
     "This page finds the printers on the network through avahi-daemon. Start it and open this "
     "page again:"},
    {"AddPrinter.CommandLine",
     "Or add a printer from the command line, with its driver and address:"},
};

const char* option_label(const char* option) {
    for (size_t i = 0; i < kNumOptionLabels; i++)
        if (strcmp(kOptionLabels[i].option, option) == 0)
            return kOptionLabels[i].label;
    return option;
}

// The words for a key in the language the browser asked for, or the model
// table's English when there is no translation. PAPPL gives back the key
// itself when it has no string for it.
const char* words(pappl_client_t* client, const std::string& key, const char* english) {
    const char* text = papplClientGetLocString(client, key.c_str());
    return text && key != text ? text : english;
}

const char* page_text(pappl_client_t* client, const char* key) {
    for (const auto& t : kPageTexts)
        if (strcmp(t.key, key) == 0)
            return words(client, key, t.text);
    return key;
}

const char* option_words(pappl_client_t* client, const char* option) {
    return words(client, option, option_label(option));
}

void escape(pappl_client_t* client, const char* text) {
    papplClientHTMLEscape(client, text, 0);
}

pappl_sides_t sides_value(const char* keyword) {
    if (strcmp(keyword, "two-sided-long-edge") == 0)
        return PAPPL_SIDES_TWO_SIDED_LONG_EDGE;
    if (strcmp(keyword, "two-sided-short-edge") == 0)
        return PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    return PAPPL_SIDES_ONE_SIDED;
}

// The paper size's name as PAPPL's own pages show it ("US Letter"), or the
// PPD's name of the size.
const char* size_words(pappl_client_t* client, const MediaSize& size) {
    return words(client, std::string("media.") + size.pwgName, size.ppdName);
}

// Takes the settings of a posted form into the printer's defaults. Returns
// the message for the page's banner.
const char* save_defaults(pappl_client_t* client, pappl_printer_t* printer) {
    cups_option_t* form = nullptr;
    int numForm = papplClientGetForm(client, &form);
    const char* status = nullptr;
    if (numForm == 0) {
        status = "Invalid form data.";
    } else if (!papplClientIsValidForm(client, numForm, form)) {
        status = "Invalid form submission.";
    } else {
        pappl_pr_driver_data_t data;
        papplPrinterGetDriverData(printer, &data);
        bool ok = true;
        auto value = [&](const char* name) { return cupsGetOption(name, numForm, form); };
        if (const char* v = value("media")) {
            pwg_media_t* pwg = nullptr;
            for (size_t i = 0; i < kNumMediaSizes; i++)
                if (strcmp(v, kMediaSizes[i].pwgName) == 0)
                    pwg = pwgMediaForPWG(v);
            if (pwg) {
                snprintf(data.media_default.size_name, sizeof(data.media_default.size_name), "%s",
                         pwg->pwg);
                data.media_default.size_width = pwg->width;
                data.media_default.size_length = pwg->length;
            } else if (strcmp(v, data.media_default.size_name) != 0) {
                ok = false;
            }
        }
        if (const char* v = value("media-type")) {
            bool known = false;
            for (size_t i = 0; i < kNumPaperWeights; i++)
                known = known || strcmp(v, kPaperWeights[i].mediaType) == 0;
            if (known)
                snprintf(data.media_default.type, sizeof(data.media_default.type), "%s", v);
            ok = ok && known;
        }
        if (const char* v = value("sides")) {
            bool known = false;
            for (size_t i = 0; i < kNumSidesChoices; i++)
                known = known || strcmp(v, kSidesChoices[i].sides) == 0;
            if (known)
                data.sides_default = sides_value(v);
            ok = ok && known;
        }
        if (const char* v = value("print-darkness")) {
            char* end = nullptr;
            long darkness = strtol(v, &end, 10);
            bool known = false;
            for (size_t i = 0; i < kNumDensityLevels; i++)
                known = known || (*v && !*end && darkness == kDensityLevels[i].darkness);
            if (known)
                data.darkness_default = static_cast<int>(darkness);
            ok = ok && known;
        }
        // The printer has one paper tray: what is loaded there is the paper
        // the printer prints on by default.
        if (ok && data.num_source > 0) {
            data.media_ready[0] = data.media_default;
            ok = papplPrinterSetReadyMedia(printer, data.num_source, data.media_ready);
        }
        if (ok && papplPrinterSetDriverDefaults(printer, &data, 0, nullptr))
            status = "Changes saved.";
        else
            status = "Bad printer defaults.";
    }
    cupsFreeOptions(numForm, form);
    return status;
}

// The printer's printing defaults: paper size, paper weight, two-sided
// printing and print density, in words a person uses, in place of PAPPL's
// page, which shows the density as a percentage of a calibration setting
// that the printer does not have.
bool printing_defaults_page(pappl_client_t* client, void* cbData) {
    auto* printer = static_cast<pappl_printer_t*>(cbData);
    if (!papplClientHTMLAuthorize(client))
        return true;
    const char* status = nullptr;
    if (papplClientGetMethod(client) == HTTP_STATE_POST)
        status = save_defaults(client, printer);

    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    papplClientHTMLPrinterHeader(client, printer, "Printing Defaults", 0, nullptr, nullptr);
    if (status)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n",
                              papplClientGetLocString(client, status));
    papplClientHTMLStartForm(client, papplClientGetURI(client), false);
    papplClientHTMLPuts(client,
                        "          <table class=\"form\">\n"
                        "            <tbody>\n");

    papplClientHTMLPuts(client, "              <tr><th>");
    escape(client, option_words(client, "ModelName"));
    papplClientHTMLPuts(client, ":</th><td>");
    escape(client, data.make_and_model);
    papplClientHTMLPuts(client, "</td></tr>\n");

    papplClientHTMLPuts(client, "              <tr><th><label for=\"media\">");
    escape(client, option_words(client, "PageSize"));
    papplClientHTMLPuts(client, ":</label></th><td><select name=\"media\" id=\"media\">");
    bool listed = false;
    for (size_t i = 0; i < kNumMediaSizes; i++) {
        bool selected = strcmp(kMediaSizes[i].pwgName, data.media_default.size_name) == 0;
        listed = listed || selected;
        papplClientHTMLPrintf(client, "<option value=\"%s\"%s>", kMediaSizes[i].pwgName,
                              selected ? " selected" : "");
        escape(client, size_words(client, kMediaSizes[i]));
        papplClientHTMLPuts(client, "</option>");
    }
    // A custom size set through IPP stays what it is unless a person picks
    // another.
    if (!listed) {
        papplClientHTMLPuts(client, "<option value=\"");
        escape(client, data.media_default.size_name);
        papplClientHTMLPuts(client, "\" selected>");
        escape(client, data.media_default.size_name);
        papplClientHTMLPuts(client, "</option>");
    }
    papplClientHTMLPuts(client, "</select></td></tr>\n");

    papplClientHTMLPuts(client, "              <tr><th>");
    escape(client, option_words(client, "PaperWeight"));
    papplClientHTMLPuts(client, ":</th><td>");
    for (size_t i = 0; i < kNumPaperWeights; i++) {
        const PaperWeight& w = kPaperWeights[i];
        papplClientHTMLPrintf(
            client, "<label><input type=\"radio\" name=\"media-type\" value=\"%s\"%s> ",
            w.mediaType, strcmp(w.mediaType, data.media_default.type) == 0 ? " checked" : "");
        escape(client, words(client, std::string("PaperWeight.") + w.choice, w.label));
        papplClientHTMLPuts(client, "</label><br>");
    }
    papplClientHTMLPuts(client, "</td></tr>\n");

    papplClientHTMLPuts(client, "              <tr><th>");
    escape(client, option_words(client, "Duplex"));
    papplClientHTMLPuts(client, ":</th><td>");
    for (size_t i = 0; i < kNumSidesChoices; i++) {
        const SidesChoice& s = kSidesChoices[i];
        papplClientHTMLPrintf(
            client, "<label><input type=\"radio\" name=\"sides\" value=\"%s\"%s> ", s.sides,
            sides_value(s.sides) == data.sides_default ? " checked" : "");
        escape(client, words(client, std::string("Duplex.") + s.choice, s.label));
        papplClientHTMLPuts(client, "</label><br>");
    }
    papplClientHTMLPuts(client, "</td></tr>\n");

    papplClientHTMLPuts(client, "              <tr><th>");
    escape(client, option_words(client, "PrintDensity"));
    papplClientHTMLPuts(client, ":</th><td>");
    const char* current = density_choice(data.darkness_default);
    for (size_t i = 0; i < kNumDensityLevels; i++) {
        const DensityLevel& d = kDensityLevels[i];
        papplClientHTMLPrintf(
            client, "<label><input type=\"radio\" name=\"print-darkness\" value=\"%d\"%s> ",
            d.darkness, strcmp(d.choice, current) == 0 ? " checked" : "");
        escape(client, words(client, std::string("PrintDensity.") + d.choice, d.label));
        papplClientHTMLPuts(client, "</label><br>");
    }
    papplClientHTMLPuts(client, "</td></tr>\n");

    papplClientHTMLPrintf(client,
                          "              <tr><th></th><td><input type=\"submit\" "
                          "value=\"%s\"></td></tr>\n"
                          "            </tbody>\n"
                          "          </table>\n"
                          "        </form>\n",
                          papplClientGetLocString(client, "Save Changes"));
    papplClientHTMLPrinterFooter(client);
    return true;
}

// PAPPL 1.3.1's add-printer page lists the printers on the network through
// avahi. Without a running avahi-daemon its discovery aborted the whole
// server (avahi_guard.cpp now stops that) and could list none of them. The
// page runs only when avahi-daemon answers, and otherwise says plainly what
// is missing and how to add a printer all the same.
bool add_printer_page(pappl_client_t* client, void* cbData) {
    auto* system = static_cast<pappl_system_t*>(cbData);
    if (discovery_available()) {
        _papplSystemWebAddPrinter(client, system);
        return true;
    }
    if (!papplClientHTMLAuthorize(client))
        return true;
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0))
        return false;
    papplClientHTMLHeader(client, "Add Printer", 0);
    papplClientHTMLPrintf(
        client,
        "    <div class=\"content\">\n"
        "      <div class=\"row\">\n"
        "        <div class=\"col-12\">\n"
        "          <h1 class=\"title\">%s</h1>\n"
        "          <div class=\"banner\">%s</div>\n"
        "          <p>%s</p>\n"
        "          <pre>sudo systemctl start avahi-daemon</pre>\n"
        "          <p>%s</p>\n"
        "          <pre>tarnwel-printer-app add -d office -m tnml20 -v "
        "socket://192.0.2.10:9100</pre>\n"
        "        </div>\n"
        "      </div>\n"
        "    </div>\n",
        papplClientGetLocString(client, "Add Printer"), page_text(client, "AddPrinter.Unavailable"),
        page_text(client, "AddPrinter.StartAvahi"), page_text(client, "AddPrinter.CommandLine"));
    papplClientHTMLFooter(client);
    return true;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

const char* const kLanguages[] = {"en", "de", "fr", "es", "it"};
const size_t kNumLanguages = sizeof(kLanguages) / sizeof(kLanguages[0]);

std::string page_strings(const std::string& language) {
    // The web page's words, under the PPD's option and choice names.
    std::vector<std::pair<std::string, std::string>> page;
    if (language != "en") {
        for (size_t i = 0; i < kNumTranslations; i++)
            if (language == kTranslations[i].language)
                page.emplace_back(kTranslations[i].key, kTranslations[i].text);
    } else {
        for (size_t i = 0; i < kNumOptionLabels; i++)
            page.emplace_back(kOptionLabels[i].option, kOptionLabels[i].label);
        for (size_t i = 0; i < kNumDensityLevels; i++)
            page.emplace_back(std::string("PrintDensity.") + kDensityLevels[i].choice,
                              kDensityLevels[i].label);
        for (size_t i = 0; i < kNumPaperWeights; i++)
            page.emplace_back(std::string("PaperWeight.") + kPaperWeights[i].choice,
                              kPaperWeights[i].label);
        for (size_t i = 0; i < kNumSidesChoices; i++)
            page.emplace_back(std::string("Duplex.") + kSidesChoices[i].choice,
                              kSidesChoices[i].label);
        for (const auto& t : kPageTexts)
            page.emplace_back(t.key, t.text);
    }
    auto text = [&](const std::string& key) -> const char* {
        for (const auto& [k, v] : page)
            if (k == key)
                return v.c_str();
        return nullptr;
    };
    std::string out;
    auto add = [&](const std::string& key, const char* words) {
        if (words)
            out += quoted(key) + " = " + quoted(words) + ";\n";
    };
    for (const auto& [key, words] : page)
        add(key, words.c_str());
    // The same words under IPP's names, for clients that show this printer's
    // own attributes and values in the user's language (the file is the
    // printer's printer-strings-uri). print-quality moves the density when
    // the job names none, and says so.
    add("print-darkness", text("PrintDensity"));
    add("media-type", text("PaperWeight"));
    for (size_t i = 0; i < kNumPaperWeights; i++)
        add(std::string("media-type.") + kPaperWeights[i].mediaType,
            text(std::string("PaperWeight.") + kPaperWeights[i].choice));
    add("sides", text("Duplex"));
    for (size_t i = 0; i < kNumSidesChoices; i++)
        add(std::string("sides.") + kSidesChoices[i].sides,
            text(std::string("Duplex.") + kSidesChoices[i].choice));
    add("print-quality.3", text("PrintDensity.MediumLight"));
    add("print-quality.4", text("PrintDensity.Medium"));
    add("print-quality.5", text("PrintDensity.MediumDark"));
    return out;
}

bool discovery_available() {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (!poll)
        return false;
    int error = 0;
    // Without AVAHI_CLIENT_NO_FAIL the client is made only when the daemon
    // answers on the system bus.
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0),
                                           nullptr, nullptr, &error);
    bool available = client && avahi_client_get_state(client) != AVAHI_CLIENT_FAILURE;
    if (client)
        avahi_client_free(client);
    avahi_simple_poll_free(poll);
    return available;
}

void add_system_web_pages(pappl_system_t* system) {
    // PAPPL keeps the strings data without copying it. Strings of PAPPL's own
    // come first: a key PAPPL has already ("media-type.cardstock") keeps its
    // words, so the pages use keys of their own.
    // (Never destroyed: PAPPL's client threads may still serve them while the
    // program exits.)
    static std::vector<std::string>& strings = *new std::vector<std::string>(kNumLanguages);
    for (size_t i = 0; i < kNumLanguages; i++) {
        strings[i] = page_strings(kLanguages[i]);
        papplSystemAddStringsData(system, ("/" + std::string(kLanguages[i]) + ".strings").c_str(),
                                  kLanguages[i], strings[i].c_str());
    }
    papplSystemAddResourceCallback(system, "/addprinter", "text/html", add_printer_page, system);
}

void add_printer_web_pages(pappl_printer_t* printer) {
    char path[256];
    papplPrinterGetPath(printer, "printing", path, sizeof(path));
    papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html",
                                   printing_defaults_page, printer);
}

}  // namespace tarnwel
