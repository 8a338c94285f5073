// SPDX-License-Identifier: Apache-2.0
// A time limit on reading each request of a client (request_watch.cpp).
#ifndef TARNWEL_APP_REQUEST_WATCH_H
#define TARNWEL_APP_REQUEST_WATCH_H

#include <pappl/pappl.h>

namespace tarnwel {

// The request this thread serves has been read as far as its time limit
// goes: what follows (a document) has limits of its own.
void end_request_watch();

// The client this thread serves, or null outside PAPPL's client threads.
pappl_client_t* served_client();

}  // namespace tarnwel

#endif
