// The state file where the simulator keeps none (Windows): every board starts from its
// factory state in every process.
#include <string>

#include "state_file.h"

namespace qmdsim {

namespace {
const char kUnsupported[] = "state files are not supported on this system";
}  // namespace

StateFile::Opened StateFile::Open(const std::string&, bool, std::string* error, std::string*) {
    *error = kUnsupported;
    return Opened::kFailed;
}

void StateFile::Close() {}
uint8_t* StateFile::Slot(uint32_t) const { return nullptr; }

bool StateFile::Lock(std::string* error) {
    *error = kUnsupported;
    return false;
}

void StateFile::Unlock() {}
bool StateFile::Sync(std::string*) { return true; }

StateFile::Removed StateFile::Reset(const std::string&, bool, std::string* error) {
    *error = kUnsupported;
    return Removed::kFailed;
}

bool RemoveStateFile(const std::string&, std::string* error) {
    *error = kUnsupported;
    return false;
}

std::string DefaultStatePath() { return {}; }

}  // namespace qmdsim
