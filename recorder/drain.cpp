#include "drain.hpp"

#include <cstring>

#include "frame_encoding.hpp"

namespace qvrec {

Drain::Drain(Shared* sh, SessionFile& file, Next* next, const Progress& from)
    : sh_(sh), file_(file), next_(next), p_(from) {
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k) {
        next_[k] = Next{};
        next_[k].tail = next_[k].published = sh_->slots()[k].tail.load(std::memory_order_acquire);
    }
}

std::uint64_t Drain::pass(bool gone) {
    std::uint64_t taken = 0;
    bytes_ = 0;
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k) {
        next_[k].head = sh_->slots()[k].head.load(std::memory_order_acquire);
        peek(k);
    }
    for (;;) {
        std::uint32_t k = find(p_.next_seq);
        if (k == kNone) {
            if (!gone) break;
            k = lowest();
            if (k == kNone) break;
        }
        take(k);
        ++taken;
    }
    recycle();
    return taken;
}

// Records before the file's progress are in it already (a salvage starts
// from the rings' last handed-back positions). A record that does not fit
// where it is means the ring was damaged: its rest is skipped.
void Drain::peek(std::uint32_t k) {
    Next& n = next_[k];
    n.has = false;
    const std::uint64_t size = sh_->ring_size;
    if (n.head < n.tail || n.head - n.tail > size) {
        damaged_ = true;
        n.tail = n.head;
        return;
    }
    while (n.tail != n.head) {
        std::uint64_t off = n.tail % size;
        const char* rec = sh_->ring(k) + off;
        std::uint32_t len;
        std::memcpy(&len, rec, 4);
        if (len == kWrap) {
            n.tail += size - off;
            continue;
        }
        std::uint64_t room = align8(kRecordHead + std::uint64_t{len});
        if (len < QVS_BODY_FIXED || room > size - off || room > n.head - n.tail) {
            damaged_ = true;
            n.tail = n.head;
            return;
        }
        std::uint64_t seq;
        std::memcpy(&seq, rec + 8, 8);
        if (seq < p_.next_seq) {
            n.tail += room;
            continue;
        }
        n.has = true;
        n.seq = seq;
        n.body = rec + kRecordHead;
        n.len = len;
        return;
    }
}

void Drain::publish(std::uint32_t k) {
    Next& n = next_[k];
    if (n.published == n.tail) return;
    sh_->slots()[k].tail.store(n.tail, std::memory_order_release);
    n.published = n.tail;
}

std::uint32_t Drain::find(std::uint64_t seq) {
    if (last_ < sh_->slot_count && next_[last_].has && next_[last_].seq == seq) return last_;
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k)
        if (next_[k].has && next_[k].seq == seq) return k;
    return kNone;
}

std::uint32_t Drain::lowest() {
    std::uint32_t best = kNone;
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k)
        if (next_[k].has && (best == kNone || next_[k].seq < next_[best].seq)) best = k;
    return best;
}

void Drain::take(std::uint32_t k) {
    Next& n = next_[k];
    if (file_.add(n.body, n.len)) count(n.body, n.len); // once stopped, frames are taken and dropped
    p_.next_seq = n.seq + 1;
    n.tail += align8(kRecordHead + n.len);
    bytes_ += align8(kRecordHead + n.len);
    last_ = k;
    peek(k);
}

// What the summary of a session says, counted as the frames go by: the
// session tools count the same from the file.
void Drain::count(const char* body, std::uint32_t len) {
    Fixed f;
    std::memcpy(&f, body, sizeof f);
    ++p_.frames;
    if (f.kind == QVS_LOST) {
        std::uint64_t frames = 0, bytes = 0;
        if (len >= kLostBodySize) {
            std::memcpy(&frames, body + QVS_BODY_FIXED, 8);
            std::memcpy(&bytes, body + QVS_BODY_FIXED + 8, 8);
        }
        p_.lost_frames += frames;
        p_.lost_bytes += bytes;
        return;
    }
    if (f.kind == QVS_CALL || f.kind == QVS_CALL_CLOSE) {
        ++p_.calls;
        std::int64_t status = 0;
        if (len >= QVS_BODY_FIXED + 9 && static_cast<std::uint8_t>(body[QVS_BODY_FIXED]) == QVS_RESULT_INT &&
            f.fn < sizeof sh_->returns_status && sh_->returns_status[f.fn] != 0) {
            std::memcpy(&status, body + QVS_BODY_FIXED + 1, 8);
            p_.failures += status != 0 ? 1 : 0;
        }
    } else if (f.kind == QVS_EVENT || f.kind == QVS_EVENT_OPEN) {
        ++p_.events;
    }
    if (f.kind != QVS_CALL_CLOSE && f.kind != QVS_EVENT_CLOSE &&
        (p_.first_ns == 0 || f.start_ns < p_.first_ns))
        p_.first_ns = f.start_ns;
    if (f.duration_ns >= 0 && f.start_ns + f.duration_ns > p_.last_ns)
        p_.last_ns = f.start_ns + f.duration_ns;
}

bool Drain::flush() {
    if (!file_.flush()) return false;
    // What the file holds now: a salvage goes on from here. Written to the
    // spare copy, then made current with one store, so a writer killed at
    // any instant leaves one that agrees with the file.
    std::uint32_t at = sh_->durable_at.load(std::memory_order_relaxed) & 1;
    Progress& spare = sh_->durable[at ^ 1];
    spare = p_;
    spare.file_bytes = file_.written();
    sh_->durable_at.store(at ^ 1, std::memory_order_release);
    sh_->progress.store(spare.file_bytes, std::memory_order_relaxed);
    Slot* slots = sh_->slots();
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k) {
        publish(k);
        Next& n = next_[k];
        if (n.lost_written != 0) {
            slots[k].lost_frames.fetch_sub(n.lost_written, std::memory_order_acq_rel);
            n.lost_written = 0;
        }
        if (n.free_after) {
            n.free_after = false;
            slots[k].state.store(kFree, std::memory_order_release);
            sh_->rings_freed.fetch_add(1, std::memory_order_release);
        }
    }
    if (overflow_written_ != 0) {
        sh_->overflow_frames.fetch_sub(overflow_written_, std::memory_order_acq_rel);
        overflow_written_ = 0;
    }
    return true;
}

bool Drain::add_lost(std::uint32_t thread, std::int64_t first, std::int64_t last, std::uint64_t frames,
                     std::uint64_t bytes) {
    char body[kLostBodySize];
    lost_body(body, thread, first, last, frames, bytes, 0);
    if (!file_.add(body, kLostBodySize)) return false;
    count(body, kLostBodySize);
    return true;
}

// A loss its thread never got to report, once its ring holds nothing
// before it; cleared from the ring once the LOST frame is in the file.
void Drain::lost_of(Slot& s) {
    auto k = static_cast<std::uint32_t>(&s - sh_->slots());
    std::uint64_t frames = s.lost_frames.load(std::memory_order_acquire) - next_[k].lost_written;
    if (frames == 0) return;
    if (add_lost(s.tid, s.lost_first_ns.load(std::memory_order_relaxed),
                 s.lost_last_ns.load(std::memory_order_relaxed), frames,
                 s.lost_bytes.load(std::memory_order_relaxed)))
        next_[k].lost_written += frames;
}

void Drain::report_lost() {
    Slot* slots = sh_->slots();
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k) lost_of(slots[k]);
    std::uint64_t overflow = sh_->overflow_frames.load(std::memory_order_acquire) - overflow_written_;
    if (overflow != 0 && add_lost(0, sh_->overflow_first_ns.load(std::memory_order_relaxed),
                                  sh_->overflow_last_ns.load(std::memory_order_relaxed), overflow,
                                  sh_->overflow_bytes.load(std::memory_order_relaxed)))
        overflow_written_ += overflow;
}

// Rings of threads that ended with a loss to report: reported once the
// ring is empty, and free for new threads once that is in the file.
void Drain::recycle() {
    Slot* slots = sh_->slots();
    for (std::uint32_t k = 0; k < sh_->slot_count; ++k) {
        Slot& s = slots[k];
        if (next_[k].free_after || s.state.load(std::memory_order_acquire) != kRetired) continue;
        next_[k].head = s.head.load(std::memory_order_acquire); // its last frames
        peek(k);
        if (next_[k].has) continue;
        lost_of(s);
        next_[k].free_after = true;
    }
}

} // namespace qvrec
