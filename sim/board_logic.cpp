// The logic load channel.
#include "board_requests.h"

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/requests.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;

namespace {
// Logic load commands.
constexpr uint32_t kLogicBegin = 1;
constexpr uint32_t kLogicEnd = 2;
constexpr uint32_t kLogicRewind = 3;
}  // namespace

uint8_t LogicRequest(Board& board, uint32_t code, uint8_t* r) {
    LogicLoad& l = board.logic;
    switch (code) {
        case req::kLoadLogicCommand: {
            const uint32_t command = bytes::GetU32(r + req::logic_load::kWord);
            l.last_command = command;
            if (command == kLogicBegin) {
                l.words.clear();
                l.read_position = 0;
                l.open = true;
                l.completed = false;
            } else if (command == kLogicEnd) {
                if (l.open) l.completed = true;
                l.open = false;
            } else if (command == kLogicRewind) {
                l.read_position = 0;
            } else {
                return kStatusBadLogicCommand;
            }
            return kStatusOk;
        }
        case req::kLoadLogicWrite:
            if (!l.open) return kStatusLogicNotOpen;
            if (l.words.size() >= kLogicCapacity) return kStatusLogicFull;
            l.words.push_back(bytes::GetU32(r + req::logic_load::kWord));
            return kStatusOk;
        case req::kLoadLogicRead:
            if (l.read_position >= l.words.size()) return kStatusLogicEmpty;
            bytes::PutU32(r + req::logic_load::kWord, l.words[l.read_position++]);
            return kStatusOk;
        default:  // req::kLoadLogicStatus
            r[req::logic_load::kLoadStatus] = l.Status();
            return kStatusOk;
    }
}

uint8_t LogicLoad::Status() const {
    return static_cast<uint8_t>((open ? 1u : 0u) | (completed ? 2u : 0u) |
                                (read_position >= words.size() ? 4u : 0u));
}

}  // namespace qmdsim
