// SPDX-License-Identifier: Apache-2.0
// A time limit on each request a client sends, and on each answer it
// takes: reading a request up to its document (which has limits of its own,
// job_limits.cpp) or the end of its IPP message (the TLS handshake, the
// request line, the headers, the IPP message, a web form), and sending the
// answer. The time the server itself takes in between (a Get-Notifications
// that waits for events, a job's processing) is not the client's.
//
// PAPPL 1.3.1 gives every connection a thread and waits for each line of a
// request for as long as bytes keep coming, however slowly, for a TLS
// handshake for ever, and for a client to take its answer for ever.
// max-clients connections that send a byte now and then, or read nothing,
// hold every thread the server may start; from then on no one is served,
// not even the control socket
// (AppLimits.SlowRequestsAndSlowReadersAreCutAndTheServerServesAgain).
//
// A request not read whole, or an answer not taken, within stream-timeout
// seconds has its connection shut down; the thread serving it then ends.
// The program takes the place of PAPPL's client thread (_papplClientRun) and
// of the libcups calls that start a request, end reading it, start the
// answer, wait for the next request or close the connection
// (httpReadRequest, ippRead, httpUpdate, httpWriteResponse, httpWait,
// httpClose), for PAPPL's calls; the build exports them. Calls outside a
// client thread pass as they are.
#include <dlfcn.h>
#include <pappl/pappl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "pappl/interpose.h"
#include "pappl/request_watch.h"
#include "server_settings.h"

namespace tarnwel {

namespace {

using Clock = std::chrono::steady_clock;

// What a connection is being timed for.
enum class Phase { Request, Answer };

struct Watched {
    pappl_client_t* client;
    int fd;
    Phase phase;
    Clock::time_point deadline;
};

// The connections being timed, and the thread that cuts those past their
// time. An entry leaves before its connection is closed (httpClose), under
// the lock, so the watch never shuts down a descriptor that has been reused.
class Watch {
  public:
    // Times the connection for `phase` from now, unless it is timed for it
    // already.
    void start(http_t* http, pappl_client_t* client, Phase phase) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = watched_.find(http);
        if (it != watched_.end() && it->second.phase == phase)
            return;
        const int seconds = server_settings().streamTimeout;
        watched_[http] = {client, httpGetFd(http), phase,
                          Clock::now() + std::chrono::seconds(seconds)};
        if (!running_) {
            running_ = true;
            std::thread([this] { run(); }).detach();
        }
        wake_.notify_one();
    }
    void end(http_t* http) {
        std::lock_guard<std::mutex> guard(lock_);
        watched_.erase(http);
    }
    void end(http_t* http, Phase phase) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = watched_.find(http);
        if (it != watched_.end() && it->second.phase == phase)
            watched_.erase(it);
    }

  private:
    void run() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = now + std::chrono::hours(1);
            for (auto it = watched_.begin(); it != watched_.end();) {
                if (it->second.deadline <= now) {
                    papplLogClient(it->second.client, PAPPL_LOGLEVEL_ERROR,
                                   "The client took more than %d seconds to %s; the connection "
                                   "was closed (stream-timeout).",
                                   server_settings().streamTimeout,
                                   it->second.phase == Phase::Request ? "send its request"
                                                                      : "take its answer");
                    shutdown(it->second.fd, SHUT_RDWR);
                    it = watched_.erase(it);
                } else {
                    next = std::min(next, it->second.deadline);
                    ++it;
                }
            }
            wake_.wait_until(guard, next);
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::map<http_t*, Watched> watched_;
    bool running_ = false;
};

Watch& watch() {
    static Watch* w = new Watch;  // lives as long as the threads that use it
    return *w;
}

thread_local pappl_client_t* servedClient = nullptr;

// PAPPL's client threads still running.
std::atomic<int> runningClients{0};

}  // namespace

pappl_client_t* served_client() {
    return servedClient;
}

void end_request_watch() {
    if (servedClient)
        watch().end(papplClientGetHTTP(servedClient));
}

}  // namespace tarnwel

using tarnwel::servedClient;
using tarnwel::watch;

using tarnwel::Phase;

extern "C" {

// PAPPL's thread of one connection: the first request's time runs from the
// connection, through any TLS handshake.
__attribute__((visibility("default"))) void* _papplClientRun(pappl_client_t* client) {
    using Run = void* (*)(pappl_client_t*);
    static const Run pappl = tarnwel::next_definition<Run>("_papplClientRun");
    tarnwel::runningClients++;
    servedClient = client;
    watch().start(papplClientGetHTTP(client), client, Phase::Request);
    void* result = pappl(client);
    servedClient = nullptr;
    tarnwel::runningClients--;
    return result;
}

// PAPPL 1.3.1 frees the system when its main loop ends, while the threads
// of its clients (the one that asked it to shut down among them) may still
// be closing their connections: they then write into freed memory. The
// system is freed once they have ended, or after 3 s.
__attribute__((visibility("default"))) void papplSystemDelete(pappl_system_t* system) {
    using Delete = void (*)(pappl_system_t*);
    static const Delete pappl = tarnwel::next_definition<Delete>("papplSystemDelete");
    for (int i = 0; i < 300 && tarnwel::runningClients > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pappl(system);
}

// A request starts.
__attribute__((visibility("default"))) http_state_t httpReadRequest(http_t* http, char* uri,
                                                                    size_t urilen) {
    using Read = http_state_t (*)(http_t*, char*, size_t);
    static const Read libcups = tarnwel::next_definition<Read>("httpReadRequest");
    if (servedClient && papplClientGetHTTP(servedClient) == http)
        watch().start(http, servedClient, Phase::Request);
    return libcups(http, uri, urilen);
}

// Headers that cannot be read end the request.
__attribute__((visibility("default"))) http_status_t httpUpdate(http_t* http) {
    using Update = http_status_t (*)(http_t*);
    static const Update libcups = tarnwel::next_definition<Update>("httpUpdate");
    http_status_t status = libcups(http);
    if (servedClient && status != HTTP_STATUS_CONTINUE && status != HTTP_STATUS_OK)
        watch().end(http);
    return status;
}

// The IPP message has been read (or cannot be): what the server does with
// it is not the client's time.
__attribute__((visibility("default"))) ipp_state_t ippRead(http_t* http, ipp_t* ipp) {
    using Read = ipp_state_t (*)(http_t*, ipp_t*);
    static const Read libcups = tarnwel::next_definition<Read>("ippRead");
    ipp_state_t state = libcups(http, ipp);
    if (servedClient && papplClientGetHTTP(servedClient) == http &&
        (state == IPP_STATE_DATA || state == IPP_STATE_ERROR))
        watch().end(http);
    return state;
}

// The answer starts ("100 Continue" only asks for the rest of the request):
// the client has stream-timeout seconds to take it.
__attribute__((visibility("default"))) int httpWriteResponse(http_t* http, http_status_t status) {
    using Write = int (*)(http_t*, http_status_t);
    static const Write libcups = tarnwel::next_definition<Write>("httpWriteResponse");
    if (servedClient && papplClientGetHTTP(servedClient) == http && status != HTTP_STATUS_CONTINUE)
        watch().start(http, servedClient, Phase::Answer);
    return libcups(http, status);
}

// Waiting for the next request: the answer has been taken. (PAPPL gives a
// connection 30 seconds for its next request; the first one's time runs from
// the connection.)
__attribute__((visibility("default"))) int httpWait(http_t* http, int msec) {
    using Wait = int (*)(http_t*, int);
    static const Wait libcups = tarnwel::next_definition<Wait>("httpWait");
    if (servedClient && papplClientGetHTTP(servedClient) == http &&
        httpGetState(http) == HTTP_STATE_WAITING)
        watch().end(http, Phase::Answer);
    return libcups(http, msec);
}

__attribute__((visibility("default"))) void httpClose(http_t* http) {
    using Close = void (*)(http_t*);
    static const Close libcups = tarnwel::next_definition<Close>("httpClose");
    if (servedClient)
        watch().end(http);
    libcups(http);
}

}  // extern "C"
