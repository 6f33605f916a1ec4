// Save: writes a new save-and-restore file from a template and the current values.
#include <cstdio>
#include <ctime>
#include <string>

#include "atomic_file.h"
#include "sr_internal.h"

namespace {

const size_t kValueSize = 256;

// The value of one item taken from a state's channel: the template's value when the state has no
// such channel or cannot read it. Cut to what the value buffer holds, like a value from the equipment.
void value_from_state(FSMstate* sp, const sr_data* item, const char* property, char* value) {
    int handle = sp->data_open(property, 0);
    bool read = false;
    if (handle != -1) {
        sp->data_lock(handle, 0);
        read = channel_text(sp, handle, value, kValueSize);
        sp->data_unlock(handle, 0);
    }
    if (!read)
        copy_cut(value, kValueSize, item->value_);
}

// A reader takes a value as its first token and everything up to the next ';'. A ';' inside the
// first token therefore reads back whole; any other ';' (and a first token that is ';' alone,
// which reads as an empty value) would end the value early and shift the items after it, so it
// becomes ','.
void make_readable(char* value) {
    char* first = value;
    while (*first != '\0' && sr_is_space(static_cast<unsigned char>(*first)))
        first++;
    char* after = first;
    while (*after != '\0' && !sr_is_space(static_cast<unsigned char>(*after)))
        after++;
    char* from = after - first == 1 && *first == ';' ? first : after;
    for (char* p = from; *p != '\0'; p++) {
        if (*p == ';')
            *p = ',';
    }
}

}  // namespace

int sr_save(char* file, char* new_file, velko::EqData* data, FSMstate* sp) {
    velko::EqData request;
    velko::EqData result;
    time_t started = time(nullptr);
    FILE* fp = open_file(file, data);
    if (fp == nullptr)
        return 1;
    // The new file replaces the old one only when complete and on disk (written in place where a
    // replacement would lose the file's owner or links, or its directory is not writable).
    velko::AtomicWriteOptions options;
    options.in_place_fallback = true;
    velko::AtomicFile out(options);
    if (new_file == nullptr || out.open(new_file, nullptr) != 0) {
        file_unlock(fileno(fp));
        fclose(fp);
        return 1;
    }
    std::vector<sr_data*> list;
    read_fill(fp, &list);

    char date[64];
    if (ctime_r(&started, date) == nullptr)
        snprintf(date, sizeof date, "%ld\n", static_cast<long>(started));
    out.write("//Save_&_Restore//\n FSM created Save & Restore file ;\n " + std::string(date) + " ;\n");

    int rc = 0;
    velko::EqAdr adr;
    std::string name;  // reused for every item's address text
    char value[kValueSize];
    // Each line is written as soon as it is made, so a save that dies leaves the lines before it.
    std::string line;
    for (const sr_data* item : list) {
        request.init();
        name.assign(item->name_);
        adr.adr(name);
        bool failed = false;
        if (sp != nullptr) {
            value_from_state(sp, item, adr.property(), value);
        } else {
            result.init();
            sr_get(&adr, &request, &result);
            result.get_string(value, sizeof value);
            failed = result.error() != 0;
        }
        make_readable(value);
        line.append(adr.facility()).append(" ").append(adr.device()).append(" ").append(adr.location());
        line.append(" ").append(adr.property()).append("\t").append(std::to_string(item->type_));
        line.append("\t").append(value).append("\t;\n");
        out.write(line);
        line.clear();
        if (failed) {
            // The file keeps the items before the failing one and the failing item's error text.
            rc = 1;
            break;
        }
    }
    clear_list(&list);
    if (out.commit(nullptr) != 0)
        rc = 1;
    return rc;
}
