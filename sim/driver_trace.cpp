// The request trace: the last requests the driver received, with what came in and went
// out.
#include <cstring>

#include "sim_driver.h"

namespace qmdsim {

void Driver::TraceEnable(uint32_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_capacity_ = capacity;
    while (trace_.size() > capacity && !trace_.empty() && capacity > 0) trace_.pop_front();
}

void Driver::TraceClear() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
}

uint32_t Driver::TraceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(trace_.size());
}

int32_t Driver::TraceGet(uint32_t i, qmdsim_trace_entry* e) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (e == nullptr || i >= trace_.size()) return -1;
    const TraceRecord& t = trace_[i];
    std::memset(e, 0, sizeof *e);
    e->kind = t.kind;
    e->board = t.board;
    e->handle = t.handle;
    e->code = t.code;
    e->in_size = t.in_size;
    e->out_size = t.out_size;
    e->result = t.result;
    if (!t.in.empty()) std::memcpy(e->in, t.in.data(), t.in.size());
    if (!t.out.empty()) std::memcpy(e->out, t.out.data(), t.out.size());
    return 0;
}

void Driver::Trace(TraceRecord&& t) {
    if (trace_capacity_ == 0) return;
    while (trace_.size() >= trace_capacity_) trace_.pop_front();
    trace_.push_back(std::move(t));
}

}  // namespace qmdsim

using qmdsim::TheDriver;

extern "C" {

void qmdsim_trace_enable(uint32_t capacity) { TheDriver().TraceEnable(capacity); }
void qmdsim_trace_clear(void) { TheDriver().TraceClear(); }
uint32_t qmdsim_trace_count(void) { return TheDriver().TraceCount(); }
int32_t qmdsim_trace_get(uint32_t i, qmdsim_trace_entry* entry) {
    return TheDriver().TraceGet(i, entry);
}

}  // extern "C"
