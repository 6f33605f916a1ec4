// ArchiveFile: <name>.hist, a text index of booked channels ("# velko archive index 1", then one
// "ID NAME" line per channel), and <name>.data, a 16-byte header ("VELKOARC", version, record
// size) followed by fixed 20-byte little-endian records: channel id (int32), time (int64),
// value (float32), status (uint8), 3 zero bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "fd_io.h"
#include "history.h"
#include "text_tokens.h"

namespace velko {

namespace {

std::mutex& dir_mutex() {
    static std::mutex* m = new std::mutex();
    return *m;
}

std::string& dir_value() {
    static std::string* d = new std::string();
    return *d;
}

}  // namespace

void set_archive_directory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(dir_mutex());
    dir_value() = dir;
}

std::string archive_directory() {
    std::lock_guard<std::mutex> lock(dir_mutex());
    return dir_value();
}

}  // namespace velko

namespace {

using velko::detail::read_all;
using velko::detail::write_all;

constexpr char kIndexHeader[] = "# velko archive index 1";
constexpr char kDataMagic[8] = {'V', 'E', 'L', 'K', 'O', 'A', 'R', 'C'};
constexpr uint32_t kVersion = 1;
constexpr off_t kHeaderSize = 16;
constexpr off_t kRecordSize = 20;

void put_u32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

uint32_t get_u32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>(p[i]) << (8 * i);
    }
    return v;
}

void encode(int id, const TDS& rec, unsigned char* p) {
    std::memset(p, 0, kRecordSize);
    put_u32(p, static_cast<uint32_t>(id));
    uint64_t tm = static_cast<uint64_t>(static_cast<int64_t>(rec.tm));
    put_u32(p + 4, static_cast<uint32_t>(tm));
    put_u32(p + 8, static_cast<uint32_t>(tm >> 32));
    uint32_t bits = 0;
    std::memcpy(&bits, &rec.data, sizeof bits);
    put_u32(p + 12, bits);
    p[16] = rec.status;
}

int decode_id(const unsigned char* p) {
    return static_cast<int>(get_u32(p));
}

TDS decode(const unsigned char* p) {
    TDS rec{};
    uint64_t tm = get_u32(p + 4) | (static_cast<uint64_t>(get_u32(p + 8)) << 32);
    rec.tm = static_cast<time_t>(static_cast<int64_t>(tm));
    uint32_t bits = get_u32(p + 12);
    std::memcpy(&rec.data, &bits, sizeof bits);
    rec.status = p[16];
    return rec;
}

std::string in_archive_dir(const std::string& name) {
    std::string dir = velko::archive_directory();
    if (name.empty() || name[0] == '/' || dir.empty()) {
        return name;
    }
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string data_name_for(const std::string& hist_name) {
    const std::string ext = ".hist";
    if (hist_name.size() > ext.size() && hist_name.compare(hist_name.size() - ext.size(), ext.size(), ext) == 0) {
        return hist_name.substr(0, hist_name.size() - ext.size()) + ".data";
    }
    return hist_name + ".data";
}

}  // namespace

struct ArchiveFile::Impl {
    std::string hist_name;
    std::string data_name;
    int hist_fd = -1;
    int data_fd = -1;
    off_t hist_size = 0;
    off_t data_size = 0;
    std::string error;
    std::map<std::string, int> ids;
    int next_id = 0;
    std::vector<D_hist*> booked;  // guarded by booking_mutex(), not by mux
    mutable std::mutex mux;

    bool fail(const std::string& what) {
        error = what;
        return false;
    }

    bool open_files(bool truncate) {
        int flags = O_RDWR | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
        hist_fd = ::open(hist_name.c_str(), flags, 0644);
        if (hist_fd < 0) {
            return fail("Cannot open the archive index " + hist_name + ": " + std::strerror(errno) + ".");
        }
        // The index first: a file that is not ours is refused before anything else is created.
        if (!load_index()) {
            return false;
        }
        data_fd = ::open(data_name.c_str(), flags, 0644);
        if (data_fd < 0) {
            return fail("Cannot open the archive data file " + data_name + ": " + std::strerror(errno) + ".");
        }
        return check_data();
    }

    // An index is ours when it starts with the whole header line. A file that holds only the start
    // of that line is ours too, cut while it was created, and holds no entries: it is begun anew.
    // Anything else is refused and left as it is. In our own index, a last line without its end
    // is an entry cut by a crash and is dropped.
    bool load_index() {
        struct stat st {};
        if (fstat(hist_fd, &st) != 0) {
            return fail("Cannot read the archive index " + hist_name + ": " + std::strerror(errno) + ".");
        }
        std::string text(static_cast<size_t>(st.st_size), '\0');
        if (!text.empty() && !read_all(hist_fd, text.data(), text.size(), 0)) {
            return fail("Cannot read the archive index " + hist_name + ": " + std::strerror(errno) + ".");
        }
        const std::string header = std::string(kIndexHeader) + "\n";
        if (text.size() < header.size() && header.compare(0, text.size(), text) == 0) {
            hist_size = 0;
            if (!text.empty() && ftruncate(hist_fd, 0) != 0) {
                return fail("Cannot repair the archive index " + hist_name + ": " + std::strerror(errno) + ".");
            }
            return append_index(header);
        }
        if (text.compare(0, header.size(), header) != 0) {
            return fail("The file " + hist_name + " is not a velko archive index.");
        }
        hist_size = st.st_size;
        size_t pos = header.size();
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) {
                if (ftruncate(hist_fd, static_cast<off_t>(pos)) != 0) {
                    return fail("Cannot repair the archive index " + hist_name + ": " + std::strerror(errno) + ".");
                }
                hist_size = static_cast<off_t>(pos);
                break;
            }
            std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            size_t space = line.find(' ');
            if (space == std::string::npos || space == 0) {
                continue;
            }
            int id = -1;
            if (!velko::text::parse_int(line.substr(0, space), &id) || id < 0 || id > 1000000000) {
                continue;
            }
            ids.emplace(line.substr(space + 1), id);
            next_id = std::max(next_id, id + 1);
        }
        return true;
    }

    bool append_index(const std::string& text) {
        if (!write_all(hist_fd, text.data(), text.size(), hist_size) || fsync(hist_fd) != 0) {
            std::string why = std::strerror(errno);
            // Drop what was written of the entry; failing that, the next open drops the cut line.
            if (ftruncate(hist_fd, hist_size) != 0) {
                why += ", and the cut entry stays until the index is reopened";
            }
            return fail("Cannot write the archive index " + hist_name + ": " + why + ".");
        }
        hist_size += static_cast<off_t>(text.size());
        return true;
    }

    // As with the index, a data file that holds only the start of the header is ours, cut while
    // it was created, and is begun anew; one whose header differs is refused and left as it is.
    bool check_data() {
        struct stat st {};
        if (fstat(data_fd, &st) != 0) {
            return fail("Cannot read the archive data file " + data_name + ": " + std::strerror(errno) + ".");
        }
        unsigned char ours[kHeaderSize] = {};
        std::memcpy(ours, kDataMagic, sizeof kDataMagic);
        put_u32(ours + 8, kVersion);
        put_u32(ours + 12, static_cast<uint32_t>(kRecordSize));
        unsigned char head[kHeaderSize] = {};
        const size_t have = static_cast<size_t>(std::min<off_t>(st.st_size, kHeaderSize));
        if (have > 0 && !read_all(data_fd, head, have, 0)) {
            return fail("Cannot read the archive data file " + data_name + ": " + std::strerror(errno) + ".");
        }
        if (std::memcmp(head, ours, have) != 0) {
            return fail("The file " + data_name + " is not a velko archive data file.");
        }
        if (st.st_size < kHeaderSize) {
            if (!write_all(data_fd, ours, sizeof ours, 0) || fsync(data_fd) != 0) {
                return fail("Cannot write the archive data file " + data_name + ": " + std::strerror(errno) + ".");
            }
            data_size = kHeaderSize;
            return true;
        }
        // A record cut by a crash is dropped; whole records before it stay.
        data_size = kHeaderSize + (st.st_size - kHeaderSize) / kRecordSize * kRecordSize;
        if (data_size != st.st_size && ftruncate(data_fd, data_size) != 0) {
            return fail("Cannot repair the archive data file " + data_name + ": " + std::strerror(errno) + ".");
        }
        return true;
    }
};

ArchiveFile::ArchiveFile(const std::string& hist_name, const char* data_name, bool truncate) : impl_(new Impl) {
    impl_->hist_name = in_archive_dir(hist_name);
    impl_->data_name = in_archive_dir(data_name != nullptr ? std::string(data_name) : data_name_for(hist_name));
    if (!impl_->open_files(truncate)) {
        if (impl_->hist_fd >= 0) {
            ::close(impl_->hist_fd);
            impl_->hist_fd = -1;
        }
        if (impl_->data_fd >= 0) {
            ::close(impl_->data_fd);
            impl_->data_fd = -1;
        }
    }
}

ArchiveFile::~ArchiveFile() {
    {
        std::lock_guard<std::mutex> booking(booking_mutex());
        for (D_hist* hist : impl_->booked) {
            hist->unbook(this);
        }
    }
    flush();
    if (impl_->hist_fd >= 0) {
        ::close(impl_->hist_fd);
    }
    if (impl_->data_fd >= 0) {
        ::close(impl_->data_fd);
    }
    delete impl_;
}

std::mutex& ArchiveFile::booking_mutex() {
    static std::mutex* m = new std::mutex();  // never destroyed: archives may close during exit
    return *m;
}

void ArchiveFile::link(D_hist* hist) {
    if (std::find(impl_->booked.begin(), impl_->booked.end(), hist) == impl_->booked.end()) {
        impl_->booked.push_back(hist);
    }
}

void ArchiveFile::unlink(D_hist* hist) {
    impl_->booked.erase(std::remove(impl_->booked.begin(), impl_->booked.end(), hist), impl_->booked.end());
}

int ArchiveFile::book(const std::string& channel) {
    std::lock_guard<std::mutex> lock(impl_->mux);
    auto it = impl_->ids.find(channel);
    if (it != impl_->ids.end()) {
        return it->second;
    }
    if (impl_->hist_fd < 0 || channel.empty() || channel.find('\n') != std::string::npos) {
        return -1;
    }
    int id = impl_->next_id;
    if (!impl_->append_index(std::to_string(id) + " " + channel + "\n")) {
        return -1;
    }
    impl_->ids.emplace(channel, id);
    impl_->next_id = id + 1;
    return id;
}

int ArchiveFile::append(int id, const TDS& rec) {
    std::lock_guard<std::mutex> lock(impl_->mux);
    if (impl_->data_fd < 0 || id < 0 || id >= impl_->next_id) {
        return -1;
    }
    unsigned char buf[kRecordSize];
    encode(id, rec, buf);
    if (!write_all(impl_->data_fd, buf, sizeof buf, impl_->data_size)) {
        std::string why = std::strerror(errno);
        // Keep the file a whole number of records; failing that, the next open drops the cut record.
        if (ftruncate(impl_->data_fd, impl_->data_size) != 0) {
            why += ", and the cut record stays until the archive is reopened";
        }
        impl_->error = "Cannot write the archive data file " + impl_->data_name + ": " + why + ".";
        return -1;
    }
    impl_->data_size += kRecordSize;
    return 0;
}

std::vector<TDS> ArchiveFile::read(const std::string& channel) const {
    std::lock_guard<std::mutex> lock(impl_->mux);
    std::vector<TDS> out;
    auto it = impl_->ids.find(channel);
    if (impl_->data_fd < 0 || it == impl_->ids.end()) {
        return out;
    }
    constexpr size_t kChunk = 512;
    std::vector<unsigned char> buf(kChunk * kRecordSize);
    for (off_t at = kHeaderSize; at < impl_->data_size;) {
        size_t n = std::min(kChunk, static_cast<size_t>((impl_->data_size - at) / kRecordSize));
        if (!read_all(impl_->data_fd, buf.data(), n * kRecordSize, at)) {
            break;
        }
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* p = buf.data() + i * kRecordSize;
            if (decode_id(p) == it->second) {
                out.push_back(decode(p));
            }
        }
        at += static_cast<off_t>(n * kRecordSize);
    }
    return out;
}

void ArchiveFile::flush() {
    std::lock_guard<std::mutex> lock(impl_->mux);
    if (impl_->hist_fd >= 0) {
        fsync(impl_->hist_fd);
    }
    if (impl_->data_fd >= 0) {
        fsync(impl_->data_fd);
    }
}

bool ArchiveFile::ok() const {
    std::lock_guard<std::mutex> lock(impl_->mux);
    return impl_->hist_fd >= 0 && impl_->data_fd >= 0;
}

std::string ArchiveFile::error() const {
    std::lock_guard<std::mutex> lock(impl_->mux);
    return impl_->error;
}

const std::string& ArchiveFile::hist_name() const {
    return impl_->hist_name;
}

const std::string& ArchiveFile::data_name() const {
    return impl_->data_name;
}
