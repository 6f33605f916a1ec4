// Private to the library: mutexes and condition variables with process-private sharing.
#pragma once

#include <pthread.h>

// Initialises m as a process-private mutex with otherwise default (non-recursive) attributes.
inline void fsm_mutex_init(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
}

// Initialises c as a process-private condition variable with otherwise default attributes.
inline void fsm_cond_init(pthread_cond_t* c) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
    pthread_cond_init(c, &attr);
    pthread_condattr_destroy(&attr);
}
