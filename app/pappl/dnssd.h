// SPDX-License-Identifier: Apache-2.0
// What PAPPL 1.3.1 advertises on DNS-SD, mended (see dnssd.cpp).
#ifndef TARNWEL_APP_PAPPL_DNSSD_H
#define TARNWEL_APP_PAPPL_DNSSD_H

#include <pappl/pappl.h>

namespace tarnwel {

// Whether the server offers TLS (no "no-tls" server option): the TXT records
// say "TLS=1.2" only then.
void set_tls_offered(bool offered);

// Advertises a printer made while the server runs, as PAPPL does for the
// printers it starts with.
void advertise_new_printer(pappl_printer_t* printer);

}  // namespace tarnwel

#endif
