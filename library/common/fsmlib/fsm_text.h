// Private to the library: storing the texts callers hand in, and fitting texts into its buffers.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

// Stores a copy of text in field; a null text is stored as the empty string rather than dereferenced.
inline void assign_text(std::string& field, const char* text) {
    if (text) {
        field.assign(text);
    } else {
        field.clear();
    }
}

// Whether two texts of known lengths are equal: lengths first, then the characters, in line for
// the short names that states, events and channels have (a library call costs more than the
// comparison).
inline bool same_text(const char* p, size_t n, const char* q, size_t m) {
    if (n != m) {
        return false;
    }
    if (n > 16) {
        return std::memcmp(p, q, n) == 0;
    }
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) {
            return false;
        }
    }
    return true;
}

inline bool same_name(const std::string& a, const std::string& b) {
    return same_text(a.data(), a.size(), b.data(), b.size());
}

// Stores a copy of src in dst. Event and state names mostly replace names of the same length
// ("a" after "b", "A2" after "A1"): their characters are then written over in line, which costs
// less than the library's assignment with its out-of-line copy.
inline void copy_name(std::string& dst, const std::string& src) {
    const size_t n = src.size();
    if (n != dst.size() || n > 16) {
        dst = src;
        return;
    }
    char* d = dst.data();
    const char* s = src.data();
    for (size_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
}

// The text buffer that the library's own code hands to data_get(int, char**, int) on this thread,
// so that a text read into it is cut to fit instead of overrunning it.
struct LibraryTextBuffer {
    const char* start;
    size_t size;
};
inline thread_local LibraryTextBuffer library_text_buffer __attribute__((visibility("hidden"))) = {nullptr, 0};

// Marks buf (size bytes) as this thread's library text buffer while it lives.
class TextBufferScope {
  public:
    TextBufferScope(const char* buf, size_t size) : saved_(library_text_buffer) { library_text_buffer = {buf, size}; }
    ~TextBufferScope() { library_text_buffer = saved_; }
    TextBufferScope(const TextBufferScope&) = delete;
    TextBufferScope& operator=(const TextBufferScope&) = delete;

  private:
    LibraryTextBuffer saved_;
};

// How many characters of text (without the NUL) a caller's buffer buf takes: the room in this
// thread's library text buffer when buf is that buffer, otherwise len (the caller vouches for it).
inline size_t text_fitting(const char* buf, size_t len) {
    const LibraryTextBuffer& lib = library_text_buffer;
    if (buf == lib.start && lib.size > 0 && len >= lib.size)
        return lib.size - 1;
    return len;
}
