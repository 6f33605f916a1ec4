// D_hist: a history property with a ring buffer of recent records, optionally booked into an archive.
#include "history.h"

#include <algorithm>
#include <ctime>

#include "call_errors.h"

D_hist::D_hist(const std::string& name_text, EqFct* owner, int capacity)
    : D_fct(name_text, owner), capacity_(capacity > 0 ? static_cast<size_t>(capacity) : 1) {}

D_hist::~D_hist() {
    std::lock_guard<std::mutex> booking(ArchiveFile::booking_mutex());
    if (archive_ != nullptr) {
        archive_->unlink(this);
    }
}

void D_hist::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    std::vector<TDS> recs = records();
    out->set_type(DATA_A_TDS);
    for (size_t i = 0; i < recs.size(); ++i) {
        out->set(recs[i], static_cast<int>(i));
    }
}

void D_hist::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
    if (in != nullptr && in->type() == DATA_A_TDS) {
        for (int i = 0; i < in->length(); ++i) {
            TDS rec = *in->get_tds(i);
            fill_hist(&rec, nullptr);
        }
        return;
    }
    if (in != nullptr && (in->type() == DATA_INT || in->type() == DATA_FLOAT)) {
        TDS rec{std::time(nullptr), in->get_float(), 0};
        fill_hist(&rec, nullptr);
        return;
    }
    velko::detail::answer_wrong_type(name(), "history records or a number", in, out);
}

int D_hist::data_type() const {
    return DATA_A_TDS;
}

void D_hist::book_hist(ArchiveFile* archive, const std::string& location, int, int size, RingbufferNameType naming) {
    if (archive == nullptr) {
        return;
    }
    std::string channel = naming == property_and_location ? location + "." + name() : name();
    int id = archive->book(channel);
    std::vector<TDS> past;
    if (id >= 0 && size > 0) {
        past = archive->read(channel);
    }
    ArchiveFile* booked = id >= 0 ? archive : nullptr;
    std::lock_guard<std::mutex> booking(ArchiveFile::booking_mutex());
    std::lock_guard<std::mutex> lock(mux_);
    if (archive_ != booked) {
        if (archive_ != nullptr) {
            archive_->unlink(this);
        }
        if (booked != nullptr) {
            booked->link(this);
        }
    }
    archive_ = booked;
    archive_id_ = id;
    archive_name_ = channel;
    if (ring_.empty()) {
        size_t keep = std::min({past.size(), static_cast<size_t>(size), capacity_});
        ring_.assign(past.end() - static_cast<long>(keep), past.end());
    }
}

void D_hist::fill_hist(TDS* rec, int* result) {
    int rc = 0;
    if (rec != nullptr) {
        std::lock_guard<std::mutex> lock(mux_);
        ring_.push_back(*rec);
        if (ring_.size() > capacity_) {
            ring_.pop_front();
        }
        if (archive_ != nullptr) {
            rc = archive_->append(archive_id_, *rec);
        }
    }
    if (result != nullptr) {
        *result = rc;
    }
}

void D_hist::unbook(ArchiveFile* archive) {
    std::lock_guard<std::mutex> lock(mux_);
    if (archive_ == archive) {
        archive_ = nullptr;
        archive_id_ = -1;
    }
}

std::vector<TDS> D_hist::records() const {
    std::lock_guard<std::mutex> lock(mux_);
    return std::vector<TDS>(ring_.begin(), ring_.end());
}

const std::string& D_hist::archive_name() const {
    return archive_name_;
}
