// SPDX-License-Identifier: Apache-2.0
// The application's web pages beside PAPPL's own: the printing defaults of
// a printer in the words of the model table, and an add-printer page that
// cannot take the server down when printer discovery is missing.
#ifndef TARNWEL_APP_WEB_H
#define TARNWEL_APP_WEB_H

#include <pappl/pappl.h>

#include <string>

namespace tarnwel {

// Adds the labels of the settings and the guarded add-printer page. Call it
// before the system runs: PAPPL keeps the first page registered for a path.
void add_system_web_pages(pappl_system_t* system);

// Adds a printer's printing defaults page in place of PAPPL's. Call it when
// the printer is created, before PAPPL registers its own pages.
void add_printer_web_pages(pappl_printer_t* printer);

// The words of the pages in another language than English: German, French,
// Spanish and Italian, as the PPD has them.
struct Translation {
    const char* language;
    const char* key;
    const char* text;
};
extern const Translation kTranslations[];
extern const size_t kNumTranslations;
extern const char* const kLanguages[];
extern const size_t kNumLanguages;

// The words of the pages as a strings file ("key" = "text";) for PAPPL's
// localisation: "en" from the model table, the others from kTranslations.
std::string page_strings(const std::string& language);

// Whether avahi-daemon answers over D-Bus, so that PAPPL's printer discovery
// can run.
bool discovery_available();

}  // namespace tarnwel

#endif
