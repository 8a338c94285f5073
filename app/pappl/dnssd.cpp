// SPDX-License-Identifier: Apache-2.0
// What PAPPL 1.3.1 advertises on DNS-SD, mended.
//
// A printer made while the server runs (by the `add` command, Create-Printer,
// a USB printer plugged in) was advertised only once its location or name
// was set or the server restarted: phones, laptops and cups-browsed never saw
// it. And its TXT record says "TLS=1.2" even when the server offers no TLS,
// so a client that prefers TLS tries a port that does not speak it.
// Held by AppDiscovery.* (tests/test_app_discovery.cpp).
#include "pappl/dnssd.h"

#include <avahi-client/publish.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <atomic>
#include <cstring>

#include "pappl/interpose.h"

namespace tarnwel {

namespace {
std::atomic<bool> tlsOffered{true};
}

void set_tls_offered(bool offered) {
    tlsOffered = offered;
}

void advertise_new_printer(pappl_printer_t* printer) {
    if (!printer || !papplSystemIsRunning(papplPrinterGetSystem(printer)))
        return;  // a server that starts advertises every printer it has
    char name[256];
    if (papplPrinterGetDNSSDName(printer, name, sizeof(name)))
        papplPrinterSetDNSSDName(printer, name);
}

}  // namespace tarnwel

extern "C" __attribute__((visibility("default"))) int avahi_entry_group_add_service_strlst(
    AvahiEntryGroup* group, AvahiIfIndex interface, AvahiProtocol protocol, AvahiPublishFlags flags,
    const char* name, const char* type, const char* domain, const char* host, uint16_t port,
    AvahiStringList* txt) {
    using Add =
        int (*)(AvahiEntryGroup*, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags, const char*,
                const char*, const char*, const char*, uint16_t, AvahiStringList*);
    static const Add avahiOwn =
        tarnwel::next_definition<Add>("avahi_entry_group_add_service_strlst");
    if (tarnwel::tlsOffered || !avahi_string_list_find(txt, "TLS"))
        return avahiOwn(group, interface, protocol, flags, name, type, domain, host, port, txt);
    // The same record without its TLS key (the list is the caller's: copy).
    AvahiStringList* plain = nullptr;
    for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item)) {
        char* key = nullptr;
        if (avahi_string_list_get_pair(item, &key, nullptr, nullptr) == 0) {
            bool tls = strcmp(key, "TLS") == 0;
            avahi_free(key);
            if (tls)
                continue;
        }
        plain = avahi_string_list_add_arbitrary(plain, avahi_string_list_get_text(item),
                                                avahi_string_list_get_size(item));
    }
    // Avahi's lists are built by prepending: keep the record in its order.
    plain = avahi_string_list_reverse(plain);
    int result = avahiOwn(group, interface, protocol, flags, name, type, domain, host, port, plain);
    avahi_string_list_free(plain);
    return result;
}
