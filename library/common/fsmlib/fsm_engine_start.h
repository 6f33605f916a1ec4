// Starting a machine's three engine threads, and the words for a start that the system refused.
#pragma once

#include <pthread.h>

#include <string>

class EqFSMlocation;

// How engine threads are created: pthread_create. Tests replace it to make creation fail.
extern int (*fsm_create_thread)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Creates the interrupt-line-1, interrupt-line-2 and event threads of lp, in that order, with
// attr. Returns 0, or the error of the first thread that could not be created, with *which set to
// the name of that thread; the threads after it are not created.
int start_engines(EqFSMlocation* lp, const pthread_attr_t* attr, const char** which);

// The sentence that tells an operator which limit an error of pthread_create points to.
std::string thread_limit_text(int err);
