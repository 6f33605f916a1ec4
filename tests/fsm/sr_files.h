// Helpers shared by the save-and-restore suites: the head of a file, text channels of a state,
// and the items of a file as plain strings.
#pragma once

#include <string>
#include <vector>

#include "sr_func.h"

namespace srtest {

// The header, comment and date sections of a save-and-restore file, as a save writes them.
inline const char kHead[] = "//Save_&_Restore//\n FSM created Save & Restore file ;\n Tue Dec  8 14:33:03 2026\n ;\n";

// Adds to sp a local channel named ch that holds text.
inline void add_text_channel(FSMstate* sp, const char* ch, const char* text) {
    velko::EqData v;
    v.set(text);
    sp->add_data(ch, &v, nullptr);
}

// One item of a list, as plain strings.
struct Item {
    std::string name;
    std::string value;
    int type;
};

inline std::vector<Item> items(const std::vector<sr_data*>& list) {
    std::vector<Item> out;
    for (const sr_data* d : list)
        out.push_back({d->name_, d->value_, d->type_});
    return out;
}

// The items of the file at path, read with fill_list; its result goes to *rc.
inline std::vector<Item> read_items(const std::string& path, int* rc) {
    std::vector<sr_data*> list;
    std::vector<sr_data*>* lp = &list;
    velko::EqData data;
    *rc = fill_list(const_cast<char*>(path.c_str()), &data, &lp);
    std::vector<Item> out = items(list);
    clear_list(&list);
    return out;
}

}  // namespace srtest
