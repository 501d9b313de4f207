// Fault injection: requests that fail or answer a status, enumeration, open and close
// failures.
#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"
#include "sim_driver.h"

namespace qmdsim {
namespace {

// A request whose input carries `address` where EEPROM word requests carry the byte address.
bool AtAddress(const uint8_t* in, uint32_t in_size, uint32_t address) {
    constexpr std::size_t kAt = qmd::req::eeprom_word::kByteAddress;
    return in_size >= kAt + 4 && qmd::bytes::GetU32(in + kAt) == address;
}

}  // namespace

void Driver::FaultRequest(uint32_t board, uint32_t code, bool at, uint32_t address, uint32_t nth,
                          int32_t kind, uint8_t status) {
    if (kind != QMDSIM_FAULT_CALL && kind != QMDSIM_FAULT_STATUS && kind != QMDSIM_FAULT_CUT) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    request_faults_.push_back({board, code, at, address, nth, kind, status});
}

void Driver::FaultEnumeration(int32_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    enumeration_fault_ = result;
}

void Driver::FaultOpen(uint32_t board, int32_t step) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (step >= QMD5820_OPEN_CREATE_FAILED && step <= QMD5820_OPEN_NO_DEVICE_SET) {
        open_faults_[board] = step;
    } else if (step == 0) {
        open_faults_.erase(board);
    }
}

void Driver::FaultClose(uint32_t nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    close_fault_nth_ = nth;
    closes_seen_ = 0;
}

void Driver::FaultClear() {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearFaults();
}

void Driver::ClearFaults() {
    request_faults_.clear();
    enumeration_fault_ = 0;
    open_faults_.clear();
    close_fault_nth_ = 0;
    closes_seen_ = 0;
}

const RequestFault* Driver::FaultFor(uint32_t board, uint32_t code, const uint8_t* in,
                                     uint32_t in_size) {
    const RequestFault* fired = nullptr;
    for (RequestFault& f : request_faults_) {
        if (f.spent || (f.code != QMDSIM_ANY_CODE && f.code != code)) continue;
        if (f.board != QMDSIM_ANY_BOARD && f.board != board) continue;
        if (f.at_address && !AtAddress(in, in_size, f.address)) continue;
        ++f.seen;
        // A cut stays: from its request on, the board answers nothing.
        const bool cut = f.kind == QMDSIM_FAULT_CUT;
        const bool fires = f.nth == 0 || f.seen == f.nth || (cut && f.seen > f.nth);
        if (f.nth != 0 && fires && !cut) f.spent = true;
        if (fires && fired == nullptr) fired = &f;
    }
    return fired;
}

}  // namespace qmdsim

using qmdsim::TheDriver;

extern "C" {

void qmdsim_fault_request(uint32_t board, uint32_t code, uint32_t nth, int32_t kind,
                          uint8_t status) {
    TheDriver().FaultRequest(board, code, false, 0, nth, kind, status);
}

void qmdsim_fault_request_at(uint32_t board, uint32_t code, uint32_t byte_address, uint32_t nth,
                             int32_t kind, uint8_t status) {
    TheDriver().FaultRequest(board, code, true, byte_address, nth, kind, status);
}

void qmdsim_fault_enumeration(int32_t result) { TheDriver().FaultEnumeration(result); }
void qmdsim_fault_open(uint32_t board, int32_t step) { TheDriver().FaultOpen(board, step); }
void qmdsim_fault_close(uint32_t nth) { TheDriver().FaultClose(nth); }
void qmdsim_fault_clear(void) { TheDriver().FaultClear(); }

}  // extern "C"
