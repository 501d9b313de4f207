// Control API of the state file (qmd5820sim.h), and the driver's side of it: every state
// file operation under the driver's lock.
#include <algorithm>
#include <cstring>
#include <string>

#include "sim_driver.h"

namespace qmdsim {

int32_t Driver::StateAttach(const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Attach(path != nullptr ? path : DefaultStatePath(), boards_);
}

void Driver::StateDetach() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.Detach();
}

int32_t Driver::StateFlush() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Flush();
}

int32_t Driver::StateReset(bool force) {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Reset(boards_, force);
}

int32_t Driver::StateDescribe(std::string* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Describe(text);
}

std::string Driver::StatePath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Attached() ? state_.Path() : std::string();
}

uint32_t Driver::StateSaves() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.Saves();
}

}  // namespace qmdsim

using qmdsim::TheDriver;

extern "C" {

namespace {

// Copies `text` as snprintf would; returns its full length.
uint32_t CopyOut(const std::string& text, char* out, uint32_t size) {
    if (out != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), size - 1u);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<uint32_t>(text.size());
}

}  // namespace

uint32_t qmdsim_state_default_path(char* path, uint32_t size) {
    return CopyOut(qmdsim::DefaultStatePath(), path, size);
}

int32_t qmdsim_state_attach(const char* path) { return TheDriver().StateAttach(path); }
void qmdsim_state_detach(void) { TheDriver().StateDetach(); }
int32_t qmdsim_state_flush(void) { return TheDriver().StateFlush(); }

uint32_t qmdsim_state_path(char* path, uint32_t size) {
    return CopyOut(TheDriver().StatePath(), path, size);
}

int32_t qmdsim_state_reset(void) { return TheDriver().StateReset(false); }
int32_t qmdsim_state_force_reset(void) { return TheDriver().StateReset(true); }

int32_t qmdsim_state_describe(char* text, uint32_t size) {
    std::string description;
    if (TheDriver().StateDescribe(&description) != 0) return -1;
    return static_cast<int32_t>(CopyOut(description, text, size));
}

uint32_t qmdsim_state_saves(void) { return TheDriver().StateSaves(); }

}  // extern "C"
