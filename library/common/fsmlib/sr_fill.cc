// Item lists from the equipment: one item per property of a server's locations.
#include <cstdio>
#include <cstring>

#include "sr_internal.h"

namespace {

const size_t kNameSize = 256;

char* copy_text(const char* text) {
    char* p = new char[strlen(text) + 1];
    strcpy(p, text);
    return p;
}

void append(std::vector<sr_data*>* list, const std::string& name, const char* value, int type) {
    list->push_back(new_item(name.c_str(), value, type));
}

// Appends the item that reports a failed name query: the query's address, the error text, type 0.
int query_failed(velko::EqAdr* query, velko::EqData* result, std::vector<sr_data*>* list,
                 std::vector<char*>* locations) {
    char text[kNameSize];
    result->get_string(text, sizeof text);
    append(list, query->show_adr(), text, DATA_NULL);
    clear(locations);
    return 1;
}

// The text of name record j, or null when it has none.
const char* record_text(velko::EqData* result, int j, int* type) {
    float f1 = 0.0f;
    float f2 = 0.0f;
    long tm = 0;
    char* text = nullptr;
    if (result->get_ustr(type, &f1, &f2, &tm, &text, j) != 0)
        return nullptr;
    return text;
}

}  // namespace

int fill_struct(char* svr, std::vector<sr_data*>* sr_data_p_, int op) {
    if (svr == nullptr || sr_data_p_ == nullptr)
        return 1;
    velko::EqAdr target;
    velko::EqAdr query;
    velko::EqData result;
    target.adr(svr);
    std::vector<char*>* locations = new std::vector<char*>;

    if (target.location()[0] != '\0') {
        locations->push_back(copy_text(target.location()));
    } else {
        query.set(target.facility(), "*", target.device(), "");
        sr_names(&query, &result);
        if (result.error() != 0)
            return query_failed(&query, &result, sr_data_p_, locations);
        for (int j = 0; j < result.length(); j++) {
            int type = 0;
            const char* text = record_text(&result, j, &type);
            if (text != nullptr)
                locations->push_back(copy_text(text));
        }
    }

    char name[kNameSize];
    for (const char* location : *locations) {
        target.set_location(location);
        query.set(target.facility(), target.location(), target.device(), "");
        result.init();
        sr_names(&query, &result);
        if (result.error() != 0)
            return query_failed(&query, &result, sr_data_p_, locations);
        bool take = op != 0;
        for (int j = 0; j < result.length(); j++) {
            int type = 0;
            const char* text = record_text(&result, j, &type);
            // A record without a name names no property.
            if (text == nullptr || sscanf(text, "%255s", name) != 1)
                continue;
            if (strstr(name, "FLOW_") != nullptr) {
                take = true;
                continue;
            }
            if (!take)
                continue;
            target.set_property(name);
            append(sr_data_p_, target.show_adr(), "", type);
        }
    }
    clear(locations);
    return 0;
}
