// Feeds arbitrary bytes to the save-and-restore reader: it must neither crash, overrun a buffer
// nor hang, every item it keeps must carry an address that parses back and a bounded value, and it
// must keep exactly the items (and report the errors) of the character-by-character reference.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../fsm/sr_reference_reader.h"
#include "sr_func.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // An in-memory file, opened by path like any other.
    static int fd = memfd_create("sr_fuzz", 0);
    if (fd < 0)
        abort();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes, size, 0) != static_cast<ssize_t>(size))
        abort();
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    const srref::Result want = srref::read(std::string(reinterpret_cast<const char*>(bytes), size));
    velko::EqData data;
    std::vector<sr_data*> list;
    std::vector<sr_data*>* lp = &list;
    if (fill_list(const_cast<char*>(path.c_str()), &data, &lp) != 0) {
        if (data.error() != want.error || (data.error() != 303 && data.error() != 304))
            abort();
        return 0;
    }
    if (want.error != 0 || want.items.size() != list.size())
        abort();
    for (size_t i = 0; i < list.size(); ++i) {
        if (!(want.items[i] == srref::Item{list[i]->name_, list[i]->value_, list[i]->type_}))
            abort();
    }
    for (const sr_data* item : list) {
        velko::EqAdr adr;
        if (adr.adr(item->name_) != 0 || adr.show_adr() != item->name_)
            abort();
        if (strlen(item->value_) > 255 || item->value_[0] == '\0')
            abort();
    }
    sr_data record = {nullptr, nullptr, 0};
    sr_data* rp = &record;
    if (get_item(const_cast<char*>(path.c_str()), static_cast<int>(list.size()), &rp) == 0) {
        if (list.empty() || strcmp(record.name_, list.back()->name_) != 0)
            abort();
        delete[] record.name_;
        delete[] record.value_;
    } else if (!list.empty()) {
        abort();
    }
    clear_list(&list);
    return 0;
}
