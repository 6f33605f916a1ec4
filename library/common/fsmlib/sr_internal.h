// Helpers shared by the save-and-restore sources. Private to the library: not installed, and the
// functions are hidden from the shared library's exported symbols.
#pragma once

#include <cstdio>
#include <vector>

#include "sr_func.h"

#define SR_LOCAL __attribute__((visibility("hidden")))

// Reads the comment and date sections and then every item of fp into *list (appending), then
// unlocks and closes fp. Malformed items are dropped; a truncated file yields the items before it.
SR_LOCAL void read_fill(FILE* fp, std::vector<sr_data*>* list);

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
// In line: the reader asks it for every character of a file.
inline bool sr_is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
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
