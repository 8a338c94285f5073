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

// The labels as a strings file ("key" = "text";) for PAPPL's localisation.
std::string english_strings();

// Whether avahi-daemon answers over D-Bus, so that PAPPL's printer discovery
// can run.
bool discovery_available();

}  // namespace tarnwel

#endif
