// PAPPL 1.3.1 browses for network printers with avahi's service browser and
// hands it the client it could not create when no avahi-daemon runs; avahi
// then fails an assertion and the whole process aborts. PAPPL's add-printer
// page, its IPP operation that lists devices and the `devices` command all
// take that path.
//
// This program's own avahi_service_browser_new comes first in the dynamic
// linking order, ahead of avahi's, for every call PAPPL makes: it answers
// "no browser" for a missing client, which PAPPL already handles as an error
// (with no daemon PAPPL holds no DNS-SD lock to release), and passes every
// other call on to avahi. It is linked into the program itself, not into a
// library, so that the dynamic linker finds it first.
#include <avahi-client/lookup.h>
#include <dlfcn.h>

extern "C" AvahiServiceBrowser* avahi_service_browser_new(
    AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol, const char* type,
    const char* domain, AvahiLookupFlags flags, AvahiServiceBrowserCallback callback,
    void* userdata) {
    if (!client)
        return nullptr;
    using Browse =
        AvahiServiceBrowser* (*)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*,
                                 const char*, AvahiLookupFlags, AvahiServiceBrowserCallback, void*);
    static const Browse avahi =
        reinterpret_cast<Browse>(dlsym(RTLD_NEXT, "avahi_service_browser_new"));
    if (!avahi)
        return nullptr;
    return avahi(client, interface, protocol, type, domain, flags, callback, userdata);
}
