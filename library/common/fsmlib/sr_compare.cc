// Compare: watches equipment against a save-and-restore file; and the statistics of a value.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sr_internal.h"

namespace {

const size_t kCurrentSize = 81;
const size_t kWorkSize = 256;
const size_t kErrorSize = 128;

// Longest slice of a pause between two looks at the stop flag.
const long kSliceNs = 50 * 1000 * 1000;

// The caller's request: comparison kind, two limits and the pause after each item in seconds.
struct Request {
    int kind;
    float f1;
    float f2;
    int pause;
};

bool stopped(const int* stop) {
    return stop != nullptr && __atomic_load_n(stop, __ATOMIC_ACQUIRE) != 0;
}

// Whole seconds, at least 1: a zero, negative or unreadable pause becomes 1, a huge one INT_MAX.
int pause_seconds(float f3) {
    if (!(f3 >= 1.0f))
        return 1;
    if (f3 >= static_cast<float>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(f3);
}

// Sleeps for the pause, ending early when the stop flag is raised.
void pause_for(int seconds, const int* stop) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec end = now;
    end.tv_sec += seconds;
    while (!stopped(stop)) {
        long long left = (static_cast<long long>(end.tv_sec) - now.tv_sec) * 1000000000LL + (end.tv_nsec - now.tv_nsec);
        if (left <= 0)
            return;
        timespec slice = {0, left < kSliceNs ? static_cast<long>(left) : kSliceNs};
        nanosleep(&slice, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
}

// Sets *differs when the current text differs from the stored value by the request's kind; once
// set it stays set for the pass.
void compare_item(const Request& rq, const sr_data* item, int current_type, const char* current, bool* differs) {
    switch (rq.kind) {
        case 0:
        case 1:
            if (!*differs && strcmp(item->value_, current) != 0)
                *differs = true;
            break;
        case 2:
        case 3: {
            float a = get_value(item->type_, item->value_);
            float b = get_value(current_type, current);
            float d = std::fabs(a - b);
            if (!(d > 0.0f))
                break;
            if (rq.kind == 2) {
                if (d <= rq.f1 || d >= rq.f2)
                    *differs = true;
            } else if ((b != 0.0f && std::fabs(b * rq.f1) < d) || (a != 0.0f && std::fabs(a * rq.f1) < d)) {
                *differs = true;
            }
            break;
        }
        default:
            break;
    }
}

// Reads file into list (replacing what it held). False with the error in data when it cannot be read.
bool load(char* file, velko::EqData* data, std::vector<sr_data*>* list) {
    clear_list(list);
    FILE* fp = open_file(file, data);
    if (fp == nullptr)
        return false;
    read_fill(fp, list);
    return true;
}

const int kPassGoesOn = -2;

// One pass over the list. Returns the result of compare_all when the pass ends it, else kPassGoesOn.
int run_pass(const Request& rq, const std::vector<sr_data*>& list, velko::EqData* data, SrOption op, const int* stop) {
    velko::EqAdr adr;
    velko::EqData request;
    velko::EqData result;
    bool differs = false;
    size_t failed = 0;
    int number = 0;
    char current[kCurrentSize];
    char work[kWorkSize];
    for (const sr_data* item : list) {
        number++;
        adr.adr(item->name_);
        request.init();
        result.init();
        sr_get(&adr, &request, &result);
        if (result.error() != 0) {
            if (op == SR_COMP_NOT_CORRECT) {
                char text[kErrorSize];
                result.get_string(current, sizeof current);
                snprintf(text, sizeof text, "item %d: %s", number, current);
                data->error(309, text);
                return number;
            }
            failed++;
            continue;
        }
        result.get_string(current, sizeof current);
        snprintf(work, sizeof work, "%s", current);
        tabs_to_blanks(work);
        compare_item(rq, item, result.type(), work, &differs);
        if (differs && op == SR_COMP_NOT_CORRECT) {
            data->error(309, item->name_);
            return number;
        }
        if (stopped(stop))
            return 0;
        pause_for(rq.pause, stop);
    }
    if (failed == list.size()) {
        result.get_string(current, sizeof current);
        data->error(result.error(), current);
        return -1;
    }
    if (!differs && op == SR_COMP_CORRECT)
        return 0;
    return kPassGoesOn;
}

}  // namespace

int compare_all(char* file, velko::EqData* data, SrOption op, int* stop) {
    if (data == nullptr || data->type() != DATA_IFFF)
        return 1;
    FILE* fp = open_file(file, data);
    if (fp == nullptr)
        return 1;
    std::vector<sr_data*> list;
    Request rq;
    float f3 = 0.0f;
    data->get_ifff(&rq.kind, &rq.f1, &rq.f2, &f3);
    rq.pause = pause_seconds(f3);
    read_fill(fp, &list);

    int rc = kPassGoesOn;
    while (rc == kPassGoesOn) {
        if (stopped(stop)) {
            rc = 0;
        } else if (rq.kind == 0 && !load(file, data, &list)) {
            rc = 1;
        } else {
            rc = run_pass(rq, list, data, op, stop);
        }
    }
    clear_list(&list);
    return rc;
}

float calc_data(OpFunc func, velko::EqData* data) {
    if (data == nullptr)
        return 0.0f;
    switch (data->type()) {
        case DATA_INT:
        case DATA_FLOAT:
        case DATA_BOOL: {
            float v = data->get_float();
            return func == RMS || func == Abs ? std::fabs(v) : v;
        }
        case DATA_SPECTRUM:
        case DATA_A_FLOAT:
            break;
        default:
            return 0.0f;
    }
    int n = data->length();
    const float* x = data->get_float_array();
    if (x == nullptr)
        n = 0;
    float max = -1e11f;
    float min = 1e11f;
    float sum = 0.0f;
    for (int i = 0; i < n; i++) {
        if (x[i] > max)
            max = x[i];
        if (x[i] < min)
            min = x[i];
        sum += x[i];
    }
    switch (func) {
        case Abs:
            return std::fabs(data->get_float(0));
        case No:
            return data->get_float(0);
        case Max:
            return max;
        case Min:
            return min;
        case Delta:
            return max - min;
        case Mean:
            return n > 0 ? sum / static_cast<float>(n) : 0.0f;
        case RMS: {
            if (n <= 1)
                return 0.0f;
            float mean = sum / static_cast<float>(n);
            float squares = 0.0f;
            for (int i = 0; i < n; i++)
                squares += (x[i] - mean) * (x[i] - mean);
            // The square root is taken before dividing by n - 1; callers rely on this figure.
            return std::sqrt(squares) / static_cast<float>(n - 1);
        }
        case Sum:
            return sum;
    }
    return 0.0f;
}
