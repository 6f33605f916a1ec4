// Helpers shared by the save-and-restore sources. Private to the library: not installed, and the
// functions are hidden from the shared library's exported symbols.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sr_func.h"

#define SR_LOCAL __attribute__((visibility("hidden")))

// One item of a file as read: NUL-terminated texts inside the file's text held by SrItems.
struct SrItem {
    const char* facility;
    const char* device;
    const char* location;
    const char* property;
    const char* value;
    int type;
};

// The items of a file: the file's text, read once and cut into the items' texts in place.
struct SrItems {
    std::vector<char> text;
    std::vector<SrItem> items;
};

// Reads the comment and date sections and then every item of fp into *out (replacing what it
// held), then unlocks and closes fp. Malformed items are dropped; a truncated file yields the items
// before it.
SR_LOCAL void read_items(FILE* fp, SrItems* out);

// read_items, with the items appended to *list as records of their own (address text and value).
SR_LOCAL void read_fill(FILE* fp, std::vector<sr_data*>* list);

// Appends the item's address text "FACILITY/DEVICE/LOCATION/PROPERTY" to *text.
SR_LOCAL void append_address(const SrItem& item, std::string* text);

// The channels of a state by name, each name looked up with data_open once per operation: an
// operation over many items of few properties then searches the state once per property. The
// names looked up must outlive the index (they are the items' texts).
class ChannelIndex {
  public:
    explicit ChannelIndex(FSMstate* sp) : sp_(sp) {}
    // sp->data_open(name, 0), remembered.
    int open(const char* name);

  private:
    FSMstate* sp_;
    std::unordered_map<std::string_view, int> handles_;
};

// A new item with copies (array new) of name and value.
SR_LOCAL sr_data* new_item(const char* name, const char* value, int type);

// The number a stored value stands for: 0 unless type is DATA_INT or DATA_FLOAT and the text holds one.
SR_LOCAL float get_value(int type, const char* val);

// Copies text into buffer (size bytes), cut to size - 1 characters and terminated.
SR_LOCAL void copy_cut(char* buffer, size_t size, const char* text);

// Turns every tab of text into a blank (current values are compared with tabs as blanks).
SR_LOCAL void tabs_to_blanks(char* text);

// White space between the tokens of a file: blank, tab, newline, carriage return, vertical tab
// and form feed (so files with CRLF line ends read alike).
inline bool sr_is_space(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');  // \t \n \v \f \r
}

// Reads the text of a channel of sp into buffer (size bytes): the state writes it there or hands
// back a copy of its own, which is copied in and released. A text longer than the buffer is cut.
// False (buffer emptied) when the channel cannot be read.
SR_LOCAL bool channel_text(FSMstate* sp, int handle, char* buffer, size_t size);

// Calls on the process-wide remote-call client, each holding velko_mux for the call only.
// Without a client (no FSM location created yet) the answer is an error in out.
SR_LOCAL void sr_get(velko::EqAdr* adr, velko::EqData* in, velko::EqData* out);
SR_LOCAL void sr_set(velko::EqAdr* adr, velko::EqData* in, velko::EqData* out);
SR_LOCAL void sr_names(velko::EqAdr* adr, velko::EqData* out);
