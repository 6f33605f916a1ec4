// History properties and the archive files they are booked into.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "d_fct.h"
#include "velko_types.h"

// How a booked history is named in its archive.
enum RingbufferNameType {
    property_only = 0,
    property_and_location = 1,
};

namespace velko {

// Directory in which archives with a relative file name are kept ("" = the working directory).
// The server sets it from its configuration.
void set_archive_directory(const std::string& dir);
std::string archive_directory();

}  // namespace velko

class D_hist;

// An archive: <name>.hist holds the index of booked histories, <name>.data fixed-size records.
// Both files survive a restart. Every record is written to the file when it is appended; flush()
// forces the files to disk, so a system crash loses at most the records since the last flush.
// Safe to use from several threads.
class ArchiveFile {
  public:
    // hist_name: path of the index file; data_name: path of the record file (null: hist_name
    // with ".data" in place of ".hist"); truncate: start empty. Relative paths are taken in
    // velko::archive_directory(). A failure shows in ok() and error().
    ArchiveFile(const std::string& hist_name, const char* data_name, bool truncate);
    // Histories still booked into the archive are unbooked first: from then on they keep their
    // records in their ring buffers only.
    ~ArchiveFile();
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // Books a channel named `channel`; returns its id (the same id for a name booked before),
    // or -1 when the files cannot be written.
    int book(const std::string& channel);
    // Appends one record of channel id. Returns 0, or -1 on a write error.
    int append(int id, const TDS& rec);
    // Every stored record of the channel, oldest first.
    std::vector<TDS> read(const std::string& channel) const;
    void flush();
    bool ok() const;
    // Why the archive is not usable (a sentence naming the file), or "".
    std::string error() const;
    const std::string& hist_name() const;
    const std::string& data_name() const;

  private:
    friend class D_hist;
    // An archive and the histories booked into it know each other, so that whichever goes first
    // unlinks itself from the other. One process-wide mutex guards these links; it is taken before
    // any history's own mutex.
    static std::mutex& booking_mutex();
    void link(D_hist* hist);    // with booking_mutex() held
    void unlink(D_hist* hist);  // with booking_mutex() held

    struct Impl;
    Impl* impl_;
};

// A history property (DATA_A_TDS): a ring buffer of recent records; a read returns them.
class D_hist : public D_fct {
  public:
    D_hist(const std::string& name_text, EqFct* owner, int capacity = 1000);
    ~D_hist() override;

    void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    int data_type() const override;
    using D_fct::data_type;

    // Books this history into archive under "LOCATION.PROPERTY" (property_and_location) or
    // "PROPERTY" (property_only); later records are appended to the archive as well as to the
    // ring buffer. When the ring buffer is empty it is first filled with the last `size` records
    // the archive holds for that name (at most its capacity), so a restarted server shows its
    // recent history. ring (the ring buffer number) selects nothing here: every booked history
    // has one ring buffer. A null archive is ignored.
    void book_hist(ArchiveFile* archive, const std::string& location, int ring, int size, RingbufferNameType naming);
    // Appends one record (status and time as given; null is ignored). The second argument, when
    // not null, receives 0 or the archive's error code (-1).
    void fill_hist(TDS* rec, int* result);
    // The recent records, oldest first.
    std::vector<TDS> records() const;
    // The name under which the history was last booked in an archive ("" before booking).
    const std::string& archive_name() const;

  private:
    friend class ArchiveFile;
    // Called by a closing archive with ArchiveFile::booking_mutex() held: stop appending to it.
    void unbook(ArchiveFile* archive);

    mutable std::mutex mux_;
    std::deque<TDS> ring_;
    size_t capacity_;
    ArchiveFile* archive_ = nullptr;  // changed with both booking_mutex() and mux_ held
    int archive_id_ = -1;
    std::string archive_name_;
};
