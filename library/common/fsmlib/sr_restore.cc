// Restore: writes the values of a save-and-restore file to the equipment or to a state's channels.
#include <cstdio>
#include <cstring>
#include <string>

#include "sr_internal.h"

namespace {

const size_t kValueSize = 256;
const size_t kReadSize = 4000;

// What happens to one item.
enum ItemResult { ITEM_DONE, ITEM_FAILED };

// Opens the channel of the item's property on sp. -1 when sp has none; with stop set the state's
// error text then names the property.
int open_channel(FSMstate* sp, ChannelIndex* channels, const char* property, int stop) {
    int handle = channels->open(property);
    if (handle == -1 && stop != 0) {
        std::string text = std::string(property) + " not found";
        sp->set_error(text.c_str());
    }
    return handle;
}

// Writes text to the item's property through the remote-call client. A failure is copied to data.
ItemResult write_remote(velko::EqAdr* adr, velko::EqData* request, const char* text, velko::EqData* data) {
    velko::EqData result;
    // A text that does not parse into the item's type is not sent: the equipment would get a zero.
    if (request->set_from_string(text) != 0) {
        result.error(request->error(), "Cannot write " + adr->show_adr() + ": " + request->error_text());
    } else {
        sr_set(adr, request, &result);
    }
    if (result.error() == 0)
        return ITEM_DONE;
    data->copy_from(&result);
    return ITEM_FAILED;
}

// Reads the channel's current text and writes the stored value when they differ (tabs count as
// blanks). A channel that cannot be read counts as empty.
void correct_channel(FSMstate* sp, int handle, char* stored) {
    char current[kReadSize];
    sp->data_lock(handle, 0);
    channel_text(sp, handle, current, sizeof current);
    tabs_to_blanks(current);
    if (strcmp(current, stored) != 0)
        sp->data_set(handle, stored, 0);
    sp->data_unlock(handle, 0);
}

// SR_CHECK_CORRECT for one item. An item whose current value cannot be read from the equipment is
// skipped.
ItemResult check_item(const SrItem& item, velko::EqData* request, velko::EqData* data, int stop, FSMstate* sp,
                      ChannelIndex* channels) {
    // A copy: the reader's value may be a shared constant.
    char stored[kValueSize];
    copy_cut(stored, sizeof stored, item.value);
    if (sp != nullptr) {
        int handle = open_channel(sp, channels, item.property, stop);
        if (handle == -1)
            return stop != 0 ? ITEM_FAILED : ITEM_DONE;
        correct_channel(sp, handle, stored);
        return ITEM_DONE;
    }
    velko::EqAdr adr;
    adr.set(item.facility, item.location, item.device, item.property);
    velko::EqData result;
    sr_get(&adr, request, &result);
    if (result.error() != 0)
        return ITEM_DONE;
    char current[kReadSize];
    result.get_string(current, sizeof current);
    tabs_to_blanks(current);
    if (strcmp(current, stored) == 0)
        return ITEM_DONE;
    return write_remote(&adr, request, stored, data);
}

// Options 0 to 2: writes the value text to the channel or to the equipment.
ItemResult write_item(char* text, const SrItem& item, velko::EqData* request, velko::EqData* data, int stop,
                      FSMstate* sp, ChannelIndex* channels) {
    if (sp != nullptr) {
        int handle = open_channel(sp, channels, item.property, stop);
        if (handle == -1)
            return stop != 0 ? ITEM_FAILED : ITEM_DONE;
        sp->data_lock(handle, 0);
        sp->data_set(handle, text, 0);
        sp->data_unlock(handle, 0);
        return ITEM_DONE;
    }
    velko::EqAdr adr;
    adr.set(item.facility, item.location, item.device, item.property);
    return write_remote(&adr, request, text, data);
}

}  // namespace

int restore_all(char* file, velko::EqData* data, SrOption op, int stop, FSMstate* sp) {
    if (data == nullptr)
        return 1;
    FILE* fp = open_file(file, data);
    if (fp == nullptr)
        return 1;
    SrItems read;
    read_items(fp, &read);

    velko::EqData request;
    ChannelIndex channels(sp);
    char value[kValueSize];
    char caller[kReadSize];
    int rc = 0;
    for (const SrItem& item : read.items) {
        request.init();
        request.set_type(item.type);
        value[0] = '\0';
        ItemResult done = ITEM_DONE;
        switch (op) {
            case SR_SET_FROM_FILE:
                copy_cut(value, sizeof value, item.value);
                done = write_item(value, item, &request, data, stop, sp, &channels);
                break;
            case SR_ADD_FROM_DATA: {
                data->get_string(caller, sizeof caller);
                float sum = get_value(item.type, item.value) + get_value(data->type(), caller);
                snprintf(value, sizeof value, "%g", static_cast<double>(sum));
                done = write_item(value, item, &request, data, stop, sp, &channels);
                break;
            }
            case SR_SET_FROM_DATA:
                data->get_string(value, sizeof value);
                done = write_item(value, item, &request, data, stop, sp, &channels);
                break;
            case SR_CHECK_CORRECT:
                done = check_item(item, &request, data, stop, sp, &channels);
                break;
            default:
                break;
        }
        if (done == ITEM_FAILED && stop != 0) {
            rc = 1;
            break;
        }
    }
    return rc;
}
