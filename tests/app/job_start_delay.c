// SPDX-License-Identifier: Apache-2.0
// A test fixture, preloaded into the printer application: every thread that
// PAPPL starts to print a spooled job sleeps TARNWEL_JOB_START_DELAY_MS
// milliseconds (default 300) before it begins. PAPPL 1.3.1 marks a job as
// printing only once its thread runs, so the delay holds open the window in
// which its scheduler can start the same job, or another one, a second time.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct delayed_start {
    void* (*routine)(void*);
    void* arg;
};

static void* run_delayed(void* p) {
    struct delayed_start start = *(struct delayed_start*)p;
    free(p);
    const char* env = getenv("TARNWEL_JOB_START_DELAY_MS");
    long ms = env && *env ? atol(env) : 300;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
    return start.routine(start.arg);
}

static create_fn real;
static void* jobProcess;
static pthread_once_t found = PTHREAD_ONCE_INIT;

static void find(void) {
    real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    // PAPPL's job thread, or whatever the program puts in its place.
    jobProcess = dlsym(RTLD_DEFAULT, "_papplJobProcess");
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*routine)(void*),
                   void* arg) {
    pthread_once(&found, find);
    if (!jobProcess || routine != (void* (*)(void*))jobProcess)
        return real(thread, attr, routine, arg);
    struct delayed_start* start = malloc(sizeof(*start));
    if (!start)
        return real(thread, attr, routine, arg);
    start->routine = routine;
    start->arg = arg;
    int rc = real(thread, attr, run_delayed, start);
    if (rc != 0)
        free(start);
    return rc;
}
