// Replacing a file so that a crash leaves either the old or the new content, never a mix.
#pragma once

#include <string>

namespace velko {

// Writes content to a temporary file beside path, flushes it to disk and renames it over path.
// With backup, the previous file is kept as path + ".bak". Returns 0, or 1 with a sentence naming
// the file in *error (when not null); path is then untouched.
int write_file_atomically(const std::string& path, const std::string& content, bool backup, std::string* error);

// For tests: called with the temporary file's path after it is written and flushed, just before
// the rename. Null removes the hook.
void set_atomic_write_hook(void (*hook)(const std::string& temp_path));

}  // namespace velko
