// Whole reads and writes on file descriptors, retried after signals and short transfers.
// Private to the platform.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace velko::detail {

// Writes all n bytes of buf at offset at. Returns false with errno set on failure (EIO when the
// system took no byte).
bool write_all(int fd, const void* buf, size_t n, off_t at);
// Reads exactly n bytes at offset at into buf. Returns false with errno set on failure (EIO when
// the file ends first).
bool read_all(int fd, void* buf, size_t n, off_t at);

}  // namespace velko::detail
