// Whole reads and writes on file descriptors.
#include "fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace velko::detail {

namespace {

// Calls transfer(done) until n bytes are done; transfer moves bytes from offset done on and
// answers like pread/pwrite.
template <typename Transfer>
bool transfer_all(size_t n, Transfer transfer) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = transfer(done);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            if (r == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool write_all(int fd, const void* buf, size_t n, off_t at) {
    const char* p = static_cast<const char*>(buf);
    return transfer_all(n,
                        [&](size_t done) { return ::pwrite(fd, p + done, n - done, at + static_cast<off_t>(done)); });
}

bool read_all(int fd, void* buf, size_t n, off_t at) {
    char* p = static_cast<char*>(buf);
    return transfer_all(n, [&](size_t done) { return ::pread(fd, p + done, n - done, at + static_cast<off_t>(done)); });
}

}  // namespace velko::detail
