#include "sim_state.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "state_layout.h"

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace layout = state_layout;

namespace {

const char* RevisionName(uint8_t revision) {
    static const char* const kNames[] = {"A", "B", "C", "D", "E", "F", "G", "H",
                                         "I", "J", "K", "L", "M", "N", "O", "P"};
    return kNames[revision & 15];
}

bool SlotOf(const uint8_t* slot, const Board& board) {
    return bytes::GetU32(slot + layout::slot::kKept) == layout::slot::kHeld &&
           bytes::GetU32(slot + layout::slot::kSerialNumber) == board.config.serial_number &&
           slot[layout::slot::kHardwareRevision] == board.config.hardware_revision;
}

}  // namespace

void Persistence::FactoryLocked(Board& board) {
    BuildFactoryImage(board.eeprom.data(), board.config.serial_number,
                      board.config.hardware_revision);
    board.outputs = 0;
    board.output_memory = 0;
    board.potentiometers.fill(kPotentiometerDefault);
}

const std::vector<uint16_t>& Persistence::Factory(uint32_t serial, uint8_t revision) {
    std::vector<uint16_t>& image = factory_[{serial, revision}];
    if (image.empty()) {
        image.resize(QMDSIM_EEPROM_WORDS);
        BuildFactoryImage(image.data(), serial, revision);
    }
    return image;  // map nodes never move
}

void Persistence::Report(const std::string& message) {
    std::fprintf(stderr, "qmd5820 simulated board: %s\n", message.c_str());
}

void Persistence::Fail(const std::string& message) {
    file_.Close();
    mode_ = Mode::kFailed;
    locked_ = false;
    if (failure_reported_) return;
    failure_reported_ = true;
    Report("the state file cannot be used, so no request runs: " + message);
}

bool Persistence::Map(bool create) {
    std::string error;
    std::string notice;
    switch (file_.Open(path_, create, &error, &notice)) {
        case StateFile::Opened::kOk:
            if (!notice.empty()) Report(notice);
            mode_ = Mode::kMapped;
            return true;
        case StateFile::Opened::kMissing:
            mode_ = Mode::kNoFile;
            return true;
        case StateFile::Opened::kFailed:
            break;
    }
    Fail(error);
    return false;
}

int32_t Persistence::Attach(const std::string& path, Boards& boards) {
    Detach();
    if (path.empty()) return 1;
    path_ = path;
    failure_reported_ = false;
    if (!Map(true)) return -1;
    for (uint32_t i = 0; i < boards.size(); ++i) {
        Board& board = *boards[i];
        board.kept_generation = Board::kNotTaken;
        if (!Begin(i, board) || !End(i, board)) return -1;
    }
    return 0;
}

void Persistence::Detach() {
    if (locked_) file_.Unlock();
    locked_ = false;
    file_.Close();
    mode_ = Mode::kOff;
    path_.clear();
}

bool Persistence::Begin(uint32_t index, Board& board) {
    board.written_words.clear();
    locked_ = false;
    if (mode_ == Mode::kOff || index >= layout::kSlots) return true;
    if (mode_ == Mode::kFailed) return false;
    // After a reset removed the file, the next request makes a new one.
    if (mode_ == Mode::kNoFile && (!Map(true) || mode_ != Mode::kMapped)) return false;
    std::string error;
    if (!file_.Lock(&error)) {
        Fail(error);
        return false;
    }
    locked_ = true;
    uint8_t* slot = file_.Slot(index);
    const uint32_t kept = bytes::GetU32(slot + layout::slot::kKept);
    uint64_t generation = bytes::GetU64(slot + layout::slot::kGeneration);
    if (kept != layout::slot::kFactory && kept != layout::slot::kHeld) {
        Report("the state file " + path_ + " is damaged (the entry of board " +
               std::to_string(index) + "); that board starts from its factory state");
        bytes::PutU32(slot + layout::slot::kKept, layout::slot::kFactory);
        bytes::PutU64(slot + layout::slot::kGeneration, ++generation);
    }
    if (generation != board.kept_generation) {
        if (SlotOf(slot, board)) {
            const uint8_t* words = slot + layout::slot::kEeprom;
            uint16_t* eeprom = board.eeprom.data();
            for (std::size_t w = 0; w < QMDSIM_EEPROM_WORDS; ++w) {
                eeprom[w] = bytes::GetU16(words + 2 * w);
            }
            board.outputs = slot[layout::slot::kOutputs];
            board.output_memory = slot[layout::slot::kOutputMemory];
            std::memcpy(board.potentiometers.data(), slot + layout::slot::kPotentiometers,
                        kPotentiometerCount);
        } else {
            FactoryLocked(board);  // the slot is free or another board's
        }
        board.kept_generation = generation;
    }
    outputs_before_ = board.outputs;
    output_memory_before_ = board.output_memory;
    potentiometers_before_ = board.potentiometers;
    return true;
}

bool Persistence::End(uint32_t index, Board& board) {
    if (!locked_) return mode_ != Mode::kFailed || index >= layout::kSlots;
    locked_ = false;
    uint8_t* slot = file_.Slot(index);
    const bool outputs_changed =
        board.outputs != outputs_before_ || board.output_memory != output_memory_before_;
    const bool potentiometers_changed = board.potentiometers != potentiometers_before_;
    if (board.written_words.empty() && !outputs_changed && !potentiometers_changed) {
        file_.Unlock();
        return true;
    }
    const uint16_t* eeprom = board.eeprom.data();
    uint8_t* words = slot + layout::slot::kEeprom;
    if (SlotOf(slot, board)) {
        for (uint16_t w : board.written_words) bytes::PutU16(words + 2 * std::size_t{w}, eeprom[w]);
    } else {
        // The first change of this board: the slot takes all of it.
        bytes::PutU32(slot + layout::slot::kSerialNumber, board.config.serial_number);
        slot[layout::slot::kHardwareRevision] = board.config.hardware_revision;
        for (std::size_t w = 0; w < QMDSIM_EEPROM_WORDS; ++w) bytes::PutU16(words + 2 * w, eeprom[w]);
        bytes::PutU32(slot + layout::slot::kKept, layout::slot::kHeld);
    }
    slot[layout::slot::kOutputs] = board.outputs;
    slot[layout::slot::kOutputMemory] = board.output_memory;
    std::memcpy(slot + layout::slot::kPotentiometers, board.potentiometers.data(),
                kPotentiometerCount);
    const uint64_t generation = bytes::GetU64(slot + layout::slot::kGeneration) + 1;
    bytes::PutU64(slot + layout::slot::kGeneration, generation);
    board.kept_generation = generation;
    ++saves_;
    file_.Unlock();
    return true;
}

int32_t Persistence::Flush() {
    if (mode_ == Mode::kFailed) return -1;
    std::string error;
    if (file_.Sync(&error)) return 0;
    Report(error);
    return -1;
}

int32_t Persistence::Reset(Boards& boards, bool force) {
    std::string error;
    switch (mode_) {
        case Mode::kOff:
            return -1;
        case Mode::kFailed:
            // A file that could not be used: removed when it is a state file at all.
            if (!RemoveStateFile(path_, &error)) {
                Report(error);
                return -1;
            }
            mode_ = Mode::kNoFile;
            failure_reported_ = false;
            break;
        case Mode::kNoFile:
            if (!Map(false)) return -1;
            if (mode_ == Mode::kNoFile) break;
            [[fallthrough]];
        case Mode::kMapped:
            switch (file_.Reset(path_, force, &error)) {
                case StateFile::Removed::kInUse:
                    return -2;
                case StateFile::Removed::kFailed:
                    Report(error);
                    return -1;
                case StateFile::Removed::kRemoved:
                    mode_ = Mode::kNoFile;
                    break;
                case StateFile::Removed::kClearedInPlace:
                    break;
            }
            break;
    }
    for (const auto& board : boards) {
        FactoryLocked(*board);
        board->kept_generation = Board::kNotTaken;
    }
    return 0;
}

int32_t Persistence::Describe(std::string* text) {
    if (mode_ == Mode::kOff || mode_ == Mode::kFailed) return -1;
    if (mode_ == Mode::kNoFile && !Map(false)) return -1;
    std::string out = "state file: " + path_ + "\n";
    if (mode_ == Mode::kNoFile) {
        *text = out + "every board is in its factory state\n";
        return 0;
    }
    std::string error;
    if (!file_.Lock(&error)) {
        Fail(error);
        return -1;
    }
    char line[160];
    bool any = false;
    for (uint32_t i = 0; i < layout::kSlots; ++i) {
        const uint8_t* slot = file_.Slot(i);
        if (bytes::GetU32(slot + layout::slot::kKept) != layout::slot::kHeld) continue;
        const uint32_t serial = bytes::GetU32(slot + layout::slot::kSerialNumber);
        const uint8_t revision = slot[layout::slot::kHardwareRevision];
        const uint8_t outputs = slot[layout::slot::kOutputs];
        const uint8_t memory = slot[layout::slot::kOutputMemory];
        const std::vector<uint16_t>& factory = Factory(serial, revision);
        std::string words;
        std::size_t differing = 0;
        for (std::size_t w = 0; w < QMDSIM_EEPROM_WORDS; ++w) {
            const uint16_t value = bytes::GetU16(slot + layout::slot::kEeprom + 2 * w);
            if (value == factory[w]) continue;
            ++differing;
            std::snprintf(line, sizeof line, "    word %5zu: 0x%04X (factory 0x%04X)\n", w,
                          static_cast<unsigned>(value), static_cast<unsigned>(factory[w]));
            words += line;
        }
        std::string pots;
        for (uint32_t p = 0; p < kPotentiometerCount; ++p) {
            const uint8_t value = slot[layout::slot::kPotentiometers + p];
            if (value == kPotentiometerDefault) continue;
            std::snprintf(line, sizeof line, " %" PRIu32 "=%u", p, static_cast<unsigned>(value));
            pots += line;
        }
        if (differing == 0 && pots.empty() && outputs == 0 && memory == 0) continue;
        any = true;
        std::snprintf(line, sizeof line,
                      "board %" PRIu32 " (serial %" PRIu32 ", revision %s): outputs 0x%02X, "
                      "output memory %u\n",
                      i, serial, RevisionName(revision), outputs, static_cast<unsigned>(memory));
        out += line;
        out += pots.empty() ? "  potentiometers: all at 128 (factory)\n"
                            : "  potentiometers not at 128:" + pots + "\n";
        std::snprintf(line, sizeof line, "  EEPROM words that differ from the factory image: %zu\n",
                      differing);
        out += line + words;
    }
    file_.Unlock();
    if (!any) out += "every board is in its factory state\n";
    *text = std::move(out);
    return 0;
}

}  // namespace qmdsim
