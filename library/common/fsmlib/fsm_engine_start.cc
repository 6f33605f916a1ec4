// Creating the engine threads of a machine; when the system refuses one, the limits that an
// operator can raise.
#include "fsm_engine_start.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "fsm.h"

int (*fsm_create_thread)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) = pthread_create;

namespace {

// The first line of a /proc file, or "unknown".
std::string proc_value(const char* path) {
    std::ifstream in(path);
    std::string line;
    return std::getline(in, line) && !line.empty() ? line : "unknown";
}

std::string nproc_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NPROC, &rl) != 0) {
        return "unknown";
    }
    return rl.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(rl.rlim_cur);
}

}  // namespace

int start_engines(EqFSMlocation* lp, const pthread_attr_t* attr, const char** which) {
    struct engine {
        const char* name;
        void* (*run)(void*);
        pthread_t* id;
    };
    const engine engines[] = {
        {"interrupt-line-1", irq1_engine, &lp->irq1_id},
        {"interrupt-line-2", irq2_engine, &lp->irq2_id},
        {"event", event_engine, &lp->update_id},
    };
    for (const engine& e : engines) {
        int err = fsm_create_thread(e.id, attr, e.run, lp);
        if (err != 0) {
            *which = e.name;
            return err;
        }
    }
    return 0;
}

std::string thread_limit_text(int err) {
    std::string text = std::string("The system refused the thread (") + std::strerror(err) + ").";
    if (err == EAGAIN) {
        // glibc also reports a thread stack that cannot be mapped as EAGAIN.
        text += " A limit on threads was reached: the user's RLIMIT_NPROC (ulimit -u, now " + nproc_limit() +
                "), kernel.threads-max (now " + proc_value("/proc/sys/kernel/threads-max") + "), kernel.pid_max (now " +
                proc_value("/proc/sys/kernel/pid_max") +
                "), the control group's pids.max, or the memory maps for thread stacks (vm.max_map_count, now " +
                proc_value("/proc/sys/vm/max_map_count") + "). Each machine needs three threads.";
    }
    return text;
}
