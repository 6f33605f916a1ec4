// Save: writes a new save-and-restore file from a template and the current values.
#include <cstdio>
#include <ctime>
#include <string>

#include "atomic_file.h"
#include "sr_internal.h"

namespace {

const size_t kValueSize = 256;

// Lines are gathered and handed to the file in pieces of about this size.
const size_t kChunk = 64 * 1024;

// The value of one item taken from a state's channel: the template's value when the state has no
// such channel or cannot read it. Cut to what the value buffer holds, like a value from the equipment.
void value_from_state(FSMstate* sp, ChannelIndex* channels, const SrItem& item, char* value) {
    int handle = channels->open(item.property);
    bool read = false;
    if (handle != -1) {
        sp->data_lock(handle, 0);
        read = channel_text(sp, handle, value, kValueSize);
        sp->data_unlock(handle, 0);
    }
    if (!read)
        copy_cut(value, kValueSize, item.value);
}

// Appends the decimal text of n.
void append_int(std::string* text, int n) {
    char digits[12];
    char* end = digits + sizeof digits;
    char* p = end;
    unsigned int u = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (n < 0)
        *--p = '-';
    text->append(p, static_cast<size_t>(end - p));
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
    SrItems read;
    read_items(fp, &read);

    char date[64];
    if (ctime_r(&started, date) == nullptr)
        snprintf(date, sizeof date, "%ld\n", static_cast<long>(started));
    std::string lines = "//Save_&_Restore//\n FSM created Save & Restore file ;\n " + std::string(date) + " ;\n";
    lines.reserve(kChunk + 1024);

    int rc = 0;
    velko::EqAdr adr;  // the item's address, for calls on the equipment
    ChannelIndex channels(sp);
    char value[kValueSize];
    // The new file replaces the old one at commit only, so the lines are handed to it in large
    // pieces rather than one by one.
    for (const SrItem& item : read.items) {
        bool failed = false;
        if (sp != nullptr) {
            value_from_state(sp, &channels, item, value);
        } else {
            request.init();
            result.init();
            adr.set(item.facility, item.location, item.device, item.property);
            sr_get(&adr, &request, &result);
            result.get_string(value, sizeof value);
            failed = result.error() != 0;
        }
        make_readable(value);
        lines.append(item.facility);
        lines += ' ';
        lines.append(item.device);
        lines += ' ';
        lines.append(item.location);
        lines += ' ';
        lines.append(item.property);
        lines += '\t';
        append_int(&lines, item.type);
        lines += '\t';
        lines.append(value);
        lines.append("\t;\n", 3);
        if (lines.size() >= kChunk) {
            out.write(lines);
            lines.clear();
        }
        if (failed) {
            // The file keeps the items before the failing one and the failing item's error text.
            rc = 1;
            break;
        }
    }
    out.write(lines);
    if (out.commit(nullptr) != 0)
        rc = 1;
    return rc;
}
