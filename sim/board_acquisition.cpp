// Acquisition: auto-refresh and sequence starts, triggers, the sequences acquired as
// time goes by, the data stream and the interrupt queue.
#include "board_requests.h"

#include <algorithm>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;

namespace autoref = req::auto_refresh;
namespace seq = req::sequence;

namespace {

bool Usable(const Board& board, uint8_t channel) {
    return channel < kChannelCount && board.channels[channel].initialised;
}

// Replaces whatever runs by a new acquisition of `mode` over the listed channels.
Acquisition& BeginAcquisition(Board& board, uint8_t mode, uint8_t count, const uint8_t* channels,
                              const uint8_t* indexes) {
    board.StopAcquisition();
    Acquisition& a = board.acquisition;
    a = Acquisition{};
    a.mode = mode;
    a.channel_count = count;
    std::memcpy(a.channels, channels, req::kListEntries);
    std::memcpy(a.transducer_indexes, indexes, req::kListEntries);
    board.acquisition_running = true;
    return a;
}

bool OneShot(uint8_t trigger_mode) { return trigger_mode == kSoftTriggerOneShot; }

}  // namespace

// Auto-refresh start: the count and the listed channels and transducer indexes in, the
// area's address out. A start replaces whatever acquisition ran; a refused one changes
// nothing.
uint8_t StartAutoRefresh(Board& board, uint8_t* r) {
    const uint8_t count = r[autoref::kCount];
    if (count == 0 || count > kChannelCount) return kStatusBadChannelCount;
    for (uint32_t i = 0; i < count; ++i) {
        if (!Usable(board, r[autoref::kChannels + i])) return kStatusBadListedChannel;
    }
    BeginAcquisition(board, kModeAutoRefresh, count, r + autoref::kChannels, r + autoref::kIndexes);
    board.auto_refresh.fill(0);
    board.RefreshAutoArea();
    board.auto_refresh_mapped = true;
    bytes::PutU64(r + autoref::kArea, reinterpret_cast<uintptr_t>(board.auto_refresh.data()));
    return kStatusOk;
}

// Sequence start; the checks in the board's order of precedence.
uint8_t StartSequence(Board& board, const uint8_t* r, uint64_t now_us) {
    const uint16_t per_interrupt = bytes::GetU16(r + seq::kPerInterrupt);
    const uint8_t size = r[seq::kSize];
    const uint8_t soft = r[seq::kSoftTrigger];
    const uint8_t external = r[seq::kExternTrigger];
    if (per_interrupt == 0) return kStatusBadSequencesPerIrq;
    if (size == 0 || size > kChannelCount) return kStatusBadSequenceSize;
    if (soft != kSoftTriggerAtOnce && soft != kSoftTriggerStart && soft != kSoftTriggerOneShot) {
        return kStatusBadSoftTrigger;
    }
    for (uint32_t i = 0; i < size; ++i) {
        if (!Usable(board, r[seq::kChannels + i])) return kStatusBadSequenceChannel;
    }
    if ((uint32_t{size} * per_interrupt) % 2 != 0) return kStatusOddSequenceWords;
    if (OneShot(soft) != OneShot(external)) return kStatusTriggerKindsDiffer;

    Acquisition& a =
        BeginAcquisition(board, kModeSequence, size, r + seq::kChannels, r + seq::kIndexes);
    a.sequences_before_interrupt = per_interrupt;
    a.soft_trigger = soft;
    a.extern_trigger = external;
    a.parameters[0] = bytes::GetU32(r + seq::kParameter1);
    a.parameters[1] = bytes::GetU32(r + seq::kParameter2);
    a.parameters[2] = bytes::GetU32(r + seq::kParameter3);
    a.producing = soft == kSoftTriggerAtOnce;
    a.origin_us = now_us;
    board.stream.Clear();
    return kStatusOk;
}

// Software trigger. Mode 1 starts acquiring at the first; mode 5 adds one burst of
// `sequences before interrupt` sequences per trigger (behind a burst still running); in
// mode 0, and without a sequence acquisition, a trigger changes nothing.
void TriggerAcquisition(Board& board, uint64_t now_us) {
    Acquisition& a = board.acquisition;
    if (a.mode != kModeSequence) return;
    ++a.triggers;
    if (a.soft_trigger == kSoftTriggerAtOnce) return;
    if (a.soft_trigger == kSoftTriggerOneShot) a.burst_left += a.sequences_before_interrupt;
    if (!a.producing) {
        a.producing = true;
        a.origin_us = now_us;
        a.since_origin = 0;
    }
}

// ---- interrupts -------------------------------------------------------------------------------

void Interrupts::Queue(const qmdsim_interrupt& record) {
    if (queue.size() >= kInterruptQueueCapacity) {
        ++dropped;
        return;
    }
    queue.push_back(record);
    signal_pending = true;
}

void Interrupts::ReadRecord(uint8_t* r) {
    namespace layout = req::interrupt_record;
    std::memset(r, 0, qmd::RecordSize(req::kReadInterruptRecord));
    if (queue.empty()) {
        r[layout::kEmpty] = 1;
        return;
    }
    const qmdsim_interrupt& q = queue.front();
    bytes::PutU32(r + layout::kValue1, q.value1);
    bytes::PutU32(r + layout::kValue2, q.value2);
    for (uint32_t i = 0; i < layout::kDataValues; ++i) {
        bytes::PutU32(r + layout::kData + 4 * i, q.data[i]);
    }
    bytes::PutU32(r + layout::kDataCount, q.data_count);
    r[layout::kInfo] = q.info;
    queue.pop_front();
}

// ---- stream ---------------------------------------------------------------------------------

std::size_t Stream::Read(uint8_t* out, std::size_t n) {
    n = std::min(n, Waiting());
    if (n > 0) std::memcpy(out, bytes.data() + head, n);
    head += n;
    if (head == bytes.size()) {
        Clear();
    } else if (head >= bytes.size() / 2) {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    return n;
}

void Board::PumpSequence(uint64_t now_us) {
    Acquisition& a = acquisition;
    if (a.mode != kModeSequence || !a.producing || now_us <= a.origin_us) return;
    const uint64_t completed = (now_us - a.origin_us) / sequence_period_us;
    if (completed <= a.since_origin) return;
    uint64_t n = completed - a.since_origin;
    if (a.soft_trigger == kSoftTriggerOneShot) {
        n = std::min(n, a.burst_left);
        a.burst_left -= n;
        if (a.burst_left == 0) a.producing = false;
    }
    a.since_origin += n;
    AcquireSequences(n);
}

// `n` sequences at the channels' present positions: their codes appended to the stream
// (as far as it has room) and a record after every `sequences before interrupt`
// sequences, with value1 the sequences so far, value2 the bytes then waiting and the data
// the first codes of the block that ends there. Closed form: the work is bounded by the
// stream and queue capacities, however much time passed.
void Board::AcquireSequences(uint64_t n) {
    Acquisition& a = acquisition;
    if (n == 0) return;
    const uint32_t size = a.channel_count;
    const std::size_t sequence_bytes = 2u * size;
    uint16_t codes[kChannelCount] = {};
    uint8_t image[2 * kChannelCount] = {};
    for (uint32_t i = 0; i < size; ++i) {
        codes[i] = MeasuredCode(*this, a.channels[i]);
        bytes::PutU16(image + 2 * i, codes[i]);
    }
    const std::size_t waiting = stream.Waiting();
    const uint64_t room =
        waiting >= kStreamCapacity ? 0 : (kStreamCapacity - waiting) / sequence_bytes;
    const uint64_t stored = std::min(n, room);
    for (uint64_t k = 0; k < stored; ++k) stream.Append(image, sequence_bytes);

    const uint64_t per = a.sequences_before_interrupt;
    const uint64_t done = a.sequences_done;
    a.sequences_done += n;
    const uint64_t first = done / per + 1;  // interrupts numbered by their block
    const uint64_t last = a.sequences_done / per;
    if (first > last) return;
    const uint64_t raised = last - first + 1;
    const uint64_t queued = std::min<uint64_t>(raised, interrupts.Space());
    qmdsim_interrupt record{};
    record.info = QMDSIM_INTERRUPT_SEQUENCE;
    record.data_count = static_cast<uint32_t>(std::min<uint64_t>(32, per * size));
    for (uint32_t j = 0; j < record.data_count; ++j) record.data[j] = codes[j % size];
    for (uint64_t k = first; k < first + queued; ++k) {
        const uint64_t so_far = k * per;
        record.value1 = static_cast<uint32_t>(so_far);
        record.value2 =
            static_cast<uint32_t>(waiting + std::min(so_far - done, stored) * sequence_bytes);
        interrupts.Queue(record);
    }
    interrupts.dropped += raised - queued;
}

void Board::RefreshAutoArea() {
    const Acquisition& a = acquisition;
    if (a.mode != kModeAutoRefresh) return;
    for (uint32_t i = 0; i < a.channel_count; ++i) {
        const uint16_t code = MeasuredCode(*this, a.channels[i]);
        uint8_t* entry = auto_refresh.data() + 2 * i;
        if (bytes::GetU16(entry) != code) bytes::PutU16(entry, code);
    }
}

// The configuration and counts stay for inspection; the stream keeps its waiting bytes.
void Board::StopAcquisition() {
    acquisition.mode = kModeNone;
    acquisition.producing = false;
    acquisition.burst_left = 0;
    acquisition_running = false;
}

// A new period applies from now: a running acquisition restarts its sequence timing.
void Board::SetSequencePeriod(uint32_t period_us, uint64_t now_us) {
    sequence_period_us = std::max<uint32_t>(period_us, 1);
    acquisition.origin_us = now_us;
    acquisition.since_origin = 0;
}

}  // namespace qmdsim
