// SPDX-License-Identifier: Apache-2.0
// PAPPL 1.3.1 browses for network printers with avahi's service browser and
// hands it the client it could not create when no avahi-daemon runs; avahi
// then fails an assertion and the whole process aborts. PAPPL's add-printer
// page, its IPP operation that lists devices and the `devices` command all
// take that path.
//
// This program's own avahi_service_browser_new comes first in the dynamic
// linking order, ahead of avahi's, for every call PAPPL makes: it answers
// "no browser" for a missing client, which PAPPL already handles as an error,
// and passes every other call on to avahi. It is linked into the program
// itself, not into a library, so that the dynamic linker finds it first.
//
// PAPPL calls the browser holding its DNS-SD lock (avahi's threaded poll
// lock) and, when no browser comes back, returns without releasing it: the
// next listing of devices, the server's shutdown and every change to its
// DNS-SD records then wait for it forever. That happens whenever PAPPL's
// client exists but is not connected: D-Bus runs and avahi-daemon does not,
// or avahi-daemon was restarted after the server started. So the lock calls
// are counted per thread, and a browser that cannot be made releases the lock
// its caller holds.
#include <avahi-client/lookup.h>
#include <avahi-common/thread-watch.h>
#include <dlfcn.h>

namespace {

thread_local AvahiThreadedPoll* heldPoll = nullptr;
thread_local int heldCount = 0;

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" void avahi_threaded_poll_lock(AvahiThreadedPoll* poll) {
    static const auto lock = next<void (*)(AvahiThreadedPoll*)>("avahi_threaded_poll_lock");
    if (!lock)
        return;
    lock(poll);
    heldPoll = poll;
    heldCount++;
}

extern "C" void avahi_threaded_poll_unlock(AvahiThreadedPoll* poll) {
    static const auto unlock = next<void (*)(AvahiThreadedPoll*)>("avahi_threaded_poll_unlock");
    if (!unlock)
        return;
    unlock(poll);
    if (poll == heldPoll && heldCount > 0 && --heldCount == 0)
        heldPoll = nullptr;
}

extern "C" AvahiServiceBrowser* avahi_service_browser_new(
    AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol, const char* type,
    const char* domain, AvahiLookupFlags flags, AvahiServiceBrowserCallback callback,
    void* userdata) {
    using Browse =
        AvahiServiceBrowser* (*)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*,
                                 const char*, AvahiLookupFlags, AvahiServiceBrowserCallback, void*);
    static const Browse avahi = next<Browse>("avahi_service_browser_new");
    AvahiServiceBrowser* browser = client && avahi ? avahi(client, interface, protocol, type,
                                                           domain, flags, callback, userdata)
                                                   : nullptr;
    // PAPPL gives up without releasing the lock it holds.
    if (!browser && heldCount > 0)
        avahi_threaded_poll_unlock(heldPoll);
    return browser;
}
