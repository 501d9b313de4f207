#include "sim_state.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qmd5820_protocol/bytes.h"
#include "qmd5820_protocol/crc32.h"
#include "qmd5820_protocol/requests.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qmdsim {

namespace bytes = qmd::bytes;
namespace req = qmd::req;

// ---- image ------------------------------------------------------------------------------------

BoardState::BoardState() { potentiometers.fill(kPotentiometerDefault); }

BoardState* StateImage::Find(uint32_t index, uint32_t serial, uint8_t revision) {
    for (BoardState& b : boards) {
        if (b.index == index && b.serial_number == serial && b.hardware_revision == revision) {
            return &b;
        }
    }
    return nullptr;
}

namespace {

constexpr std::size_t kEntryFixedSize = 4 + 4 + 4 + kPotentiometerCount + 4;

bool FactoryKept(const BoardState& b) {
    if (!b.eeprom.empty() || b.outputs != 0 || b.output_memory != 0) return false;
    for (uint8_t p : b.potentiometers) {
        if (p != kPotentiometerDefault) return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> EncodeState(const StateImage& image) {
    std::vector<uint8_t> payload(4);
    bytes::PutU32(payload.data(), static_cast<uint32_t>(image.boards.size()));
    for (const BoardState& b : image.boards) {
        const std::size_t at = payload.size();
        payload.resize(at + kEntryFixedSize + 4 * b.eeprom.size());
        uint8_t* p = payload.data() + at;
        bytes::PutU32(p, b.index);
        bytes::PutU32(p + 4, b.serial_number);
        p[8] = b.hardware_revision;
        p[9] = b.outputs;
        p[10] = b.output_memory;
        p[11] = 0;
        std::memcpy(p + 12, b.potentiometers.data(), kPotentiometerCount);
        bytes::PutU32(p + 12 + kPotentiometerCount, static_cast<uint32_t>(b.eeprom.size()));
        p += kEntryFixedSize;
        for (const auto& [address, value] : b.eeprom) {
            bytes::PutU16(p, address);
            bytes::PutU16(p + 2, value);
            p += 4;
        }
    }
    std::vector<uint8_t> file(kStateHeaderSize + payload.size());
    std::memcpy(file.data(), kStateMagic, sizeof kStateMagic);
    bytes::PutU32(file.data() + 8, kStateFormat);
    bytes::PutU32(file.data() + 12, static_cast<uint32_t>(payload.size()));
    bytes::PutU32(file.data() + 16, qmd::Crc32(payload.data(), payload.size()));
    std::memcpy(file.data() + kStateHeaderSize, payload.data(), payload.size());
    return file;
}

bool DecodeState(const std::vector<uint8_t>& file, StateImage* image, std::string* reason) {
    const auto fail = [&](const char* why) {
        *reason = why;
        return false;
    };
    if (file.size() < kStateHeaderSize) return fail("shorter than its header");
    if (std::memcmp(file.data(), kStateMagic, sizeof kStateMagic) != 0) return fail("bad magic");
    if (bytes::GetU32(file.data() + 8) != kStateFormat) return fail("unknown format version");
    const std::size_t size = bytes::GetU32(file.data() + 12);
    if (size != file.size() - kStateHeaderSize) return fail("size does not match the header");
    const uint8_t* p = file.data() + kStateHeaderSize;
    if (qmd::Crc32(p, size) != bytes::GetU32(file.data() + 16)) return fail("bad checksum");
    // The checksum can be right for bytes no save wrote: everything is still checked.
    const uint8_t* const end = p + size;
    if (size < 4) return fail("no board count");
    const uint32_t count = bytes::GetU32(p);
    p += 4;
    StateImage decoded;
    for (uint32_t i = 0; i < count; ++i) {
        if (static_cast<std::size_t>(end - p) < kEntryFixedSize) return fail("truncated entry");
        BoardState b;
        b.index = bytes::GetU32(p);
        b.serial_number = bytes::GetU32(p + 4);
        b.hardware_revision = p[8];
        b.outputs = p[9];
        b.output_memory = p[10];
        std::memcpy(b.potentiometers.data(), p + 12, kPotentiometerCount);
        const uint32_t words = bytes::GetU32(p + 12 + kPotentiometerCount);
        p += kEntryFixedSize;
        if (words > QMDSIM_EEPROM_WORDS || static_cast<std::size_t>(end - p) / 4 < words) {
            return fail("truncated EEPROM words");
        }
        for (uint32_t w = 0; w < words; ++w, p += 4) {
            const uint16_t address = bytes::GetU16(p);
            if (!b.eeprom.empty() && address <= b.eeprom.rbegin()->first) {
                return fail("EEPROM words out of order");
            }
            b.eeprom.emplace_hint(b.eeprom.end(), address, bytes::GetU16(p + 2));
        }
        for (const BoardState& other : decoded.boards) {
            if (other.index == b.index) return fail("a board twice");
        }
        decoded.boards.push_back(std::move(b));
    }
    if (p != end) return fail("bytes after the last entry");
    *image = std::move(decoded);
    return true;
}

// ---- files ------------------------------------------------------------------------------------

namespace {

enum class ReadResult { kMissing, kOk, kError };

#if !defined(_WIN32)

std::string ErrorText(int error) { return std::strerror(error); }

// flock on "<path>.lock", released when destroyed.
class FileLock {
  public:
    FileLock(const std::string& path, bool exclusive) {
        const std::string lock_path = path + ".lock";
        fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error_ = "cannot open " + lock_path + ": " + ErrorText(errno);
            return;
        }
        int r;
        do {
            r = ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            error_ = "cannot lock " + lock_path + ": " + ErrorText(errno);
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool Held() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

bool MakeParentDirectories(const std::string& path, std::string* error) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + dir + ": " + ErrorText(errno);
            return false;
        }
    }
    return true;
}

ReadResult ReadFile(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ReadResult::kMissing;
        *error = ErrorText(errno);
        return ReadResult::kError;
    }
    out->clear();
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = ErrorText(errno);
            ::close(fd);
            return ReadResult::kError;
        }
        if (n == 0) break;
        out->insert(out->end(), chunk, chunk + n);
        // No valid state file comes near this size: stop reading a huge foreign file.
        if (out->size() > (std::size_t{64} << 20)) break;
    }
    ::close(fd);
    return ReadResult::kOk;
}

// Writes "<path>.tmp.<pid>" and renames it over the file: readers see the old file or the
// new one, never a part of it.
bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& data, std::string* error) {
    const std::string temp = path + ".tmp." + std::to_string(static_cast<long>(::getpid()));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + temp + ": " + ErrorText(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + temp + ": " + ErrorText(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace " + path + ": " + ErrorText(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool RemoveFile(const std::string& path, std::string* error) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    *error = "cannot remove " + path + ": " + ErrorText(errno);
    return false;
}

#else  // state files are a feature of the Linux simulator

class FileLock {
  public:
    FileLock(const std::string&, bool) {}
    bool Held() const { return false; }
    const std::string& Error() const { return error_; }

  private:
    std::string error_ = "state files are not supported on this system";
};

bool MakeParentDirectories(const std::string&, std::string* error) {
    *error = "state files are not supported on this system";
    return false;
}
ReadResult ReadFile(const std::string&, std::vector<uint8_t>*, std::string*) {
    return ReadResult::kMissing;
}
bool ReplaceFile(const std::string&, const std::vector<uint8_t>&, std::string*) { return false; }
bool RemoveFile(const std::string&, std::string*) { return false; }

#endif

// Reads and decodes the file (the caller holds its lock). A missing file is the factory
// state; a damaged one too, with `damage` set.
bool LoadImage(const std::string& path, StateImage* image, std::string* damage,
               std::string* error) {
    std::vector<uint8_t> file;
    switch (ReadFile(path, &file, error)) {
        case ReadResult::kMissing:
            *image = StateImage{};
            return true;
        case ReadResult::kError:
            return false;
        case ReadResult::kOk:
            break;
    }
    if (!DecodeState(file, image, damage)) *image = StateImage{};
    return true;
}

const char* RevisionName(uint8_t revision) {
    static const char* const kNames[] = {"A", "B", "C", "D", "E", "F", "G", "H",
                                         "I", "J", "K", "L", "M", "N", "O", "P"};
    return kNames[revision & 15];
}

}  // namespace

std::string DefaultStatePath() {
#if defined(_WIN32)
    return {};
#else
    if (const char* explicit_path = std::getenv("QMD5820_SIM_STATE")) {
        if (explicit_path[0] == '\0' || std::strcmp(explicit_path, "off") == 0) return {};
        return explicit_path;
    }
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/qmd5820/sim-state";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.local/state/qmd5820/sim-state";
    }
    return {};
#endif
}

// ---- persistence ------------------------------------------------------------------------------

void Persistence::NoteRequestLocked(uint32_t board, uint32_t code, const uint8_t* record,
                                    uint32_t out_size) {
    if (!attached_.load(std::memory_order_relaxed) || out_size == 0 || record[req::kStatus] != kStatusOk) {
        return;
    }
    switch (code) {
        case req::kEepromWrite:
            dirty_[board].words.insert(
                static_cast<uint16_t>(bytes::GetU32(record + req::eeprom_word::kByteAddress) / 2));
            break;
        case req::kWriteDigitalOutputs:
        case req::kWriteOutputMemory:
            dirty_[board].outputs = true;
            break;
        case req::kWritePotentiometer:
        case req::kOpenAdjustment:
        case req::kLevelsAdjusted:
        case req::kCloseAdjustment:
        case req::kOpenWorkerAdjustment:
        case req::kStartWorkerAdjustment:
        case req::kWorkerLevelsAdjusted:
        case req::kWorkerPositionAdjusted:
            dirty_[board].potentiometers = true;  // adjustments move potentiometers too
            break;
        default:
            return;
    }
    pending_.store(true, std::memory_order_relaxed);
}

void Persistence::FactoryLocked(Board& board) {
    BuildFactoryImage(board.eeprom.data(), board.config.serial_number,
                      board.config.hardware_revision);
    board.outputs = 0;
    board.output_memory = 0;
    board.potentiometers.fill(kPotentiometerDefault);
}

const std::vector<uint16_t>& Persistence::Factory(uint32_t serial, uint8_t revision) {
    std::lock_guard<std::mutex> lock(factory_mutex_);
    std::vector<uint16_t>& image = factory_[{serial, revision}];
    if (image.empty()) {
        image.resize(QMDSIM_EEPROM_WORDS);
        BuildFactoryImage(image.data(), serial, revision);
    }
    return image;  // map nodes never move
}

void Persistence::Report(const std::string& message, bool* once) {
    if (*once) return;
    *once = true;
    std::fprintf(stderr, "qmd5820 simulated board: %s\n", message.c_str());
}

int32_t Persistence::Attach(const std::string& path, const BoardsAccess& access) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attached_.load() && path == path_) return 0;
    if (attached_.load()) (void)SaveLocked(access, true);
    access([&](Boards&, uint64_t) {
        attached_.store(false);
        path_.clear();
        dirty_.clear();
        pending_.store(false);
    });
    if (path.empty()) return 1;

    std::string error;
    if (!MakeParentDirectories(path, &error)) {
        std::fprintf(stderr, "qmd5820 simulated board: no state file: %s\n", error.c_str());
        return -1;
    }
    StateImage image;
    std::string damage;
    {
        FileLock file_lock(path, false);
        if (!file_lock.Held()) {
            std::fprintf(stderr, "qmd5820 simulated board: no state file: %s\n",
                         file_lock.Error().c_str());
            return -1;
        }
        if (!LoadImage(path, &image, &damage, &error)) {
            std::fprintf(stderr, "qmd5820 simulated board: cannot read the state file %s: %s\n",
                         path.c_str(), error.c_str());
            return -1;
        }
    }
    damage_reported_ = false;
    save_failure_reported_ = false;
    if (!damage.empty()) {
        Report("the state file " + path + " is damaged (" + damage +
                   "); the boards start from their factory state and the file is replaced at "
                   "the next save",
               &damage_reported_);
    }
    access([&](Boards& boards, uint64_t) {
        for (uint32_t i = 0; i < boards.size(); ++i) {
            Board& board = *boards[i];
            FactoryLocked(board);
            const BoardState* kept =
                image.Find(i, board.config.serial_number, board.config.hardware_revision);
            if (kept == nullptr) continue;
            for (const auto& [address, value] : kept->eeprom) board.eeprom[address] = value;
            board.outputs = kept->outputs;
            board.output_memory = kept->output_memory;
            board.potentiometers = kept->potentiometers;
        }
        path_ = path;
        saved_once_ = false;
        attached_.store(true);
    });
    return 0;
}

void Persistence::Detach(const BoardsAccess& access) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_.load()) return;
    (void)SaveLocked(access, true);
    access([&](Boards&, uint64_t) {
        attached_.store(false);
        path_.clear();
        dirty_.clear();
        pending_.store(false);
    });
}

std::vector<BoardChanges> Persistence::TakeChangesLocked(Boards& boards, uint64_t now,
                                                         bool force) {
    std::vector<BoardChanges> changes;
    if (dirty_.empty() || !attached_.load()) return changes;
    if (!force && saved_once_ && now - last_save_us_ < kStateSaveIntervalUs) return changes;
    for (const auto& [index, dirty] : dirty_) {
        if (index >= boards.size()) continue;
        const Board& board = *boards[index];
        BoardChanges c;
        c.index = index;
        c.serial_number = board.config.serial_number;
        c.hardware_revision = board.config.hardware_revision;
        for (uint16_t address : dirty.words) c.words.emplace_back(address, board.eeprom[address]);
        if (dirty.outputs) c.outputs = std::make_pair(board.outputs, board.output_memory);
        if (dirty.potentiometers) c.potentiometers = board.potentiometers;
        changes.push_back(std::move(c));
    }
    dirty_.clear();
    pending_.store(false, std::memory_order_relaxed);
    saved_once_ = true;
    last_save_us_ = now;
    return changes;
}

int32_t Persistence::Save(const BoardsAccess& access, bool force) {
    if (!Pending()) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return SaveLocked(access, force);
}

int32_t Persistence::SaveLocked(const BoardsAccess& access, bool force) {
    std::vector<BoardChanges> changes;
    access([&](Boards& boards, uint64_t now) { changes = TakeChangesLocked(boards, now, force); });
    return Write(changes);
}

int32_t Persistence::Write(const std::vector<BoardChanges>& changes) {
    if (changes.empty()) return 0;
    FileLock file_lock(path_, true);
    std::string error;
    StateImage image;
    std::string damage;
    if (file_lock.Held() && LoadImage(path_, &image, &damage, &error)) {
        if (!damage.empty()) {
            Report("the state file " + path_ + " is damaged (" + damage + "); it is replaced",
                   &damage_reported_);
        }
        for (const BoardChanges& c : changes) {
            BoardState* kept = image.Find(c.index, c.serial_number, c.hardware_revision);
            if (kept == nullptr) {
                // An entry of another board at this index is replaced.
                std::erase_if(image.boards, [&](const BoardState& b) { return b.index == c.index; });
                image.boards.emplace_back();
                kept = &image.boards.back();
                kept->index = c.index;
                kept->serial_number = c.serial_number;
                kept->hardware_revision = c.hardware_revision;
            }
            const std::vector<uint16_t>& factory = Factory(c.serial_number, c.hardware_revision);
            for (const auto& [address, value] : c.words) {
                if (value == factory[address]) {
                    kept->eeprom.erase(address);
                } else {
                    kept->eeprom[address] = value;
                }
            }
            if (c.outputs) {
                kept->outputs = c.outputs->first;
                kept->output_memory = c.outputs->second;
            }
            if (c.potentiometers) kept->potentiometers = *c.potentiometers;
        }
        std::erase_if(image.boards, FactoryKept);
        if (ReplaceFile(path_, EncodeState(image), &error)) {
            saves_.fetch_add(1);
            return 0;
        }
    } else if (!file_lock.Held()) {
        error = file_lock.Error();
    }
    Report("cannot save the state file " + path_ + ": " + error, &save_failure_reported_);
    return -1;
}

int32_t Persistence::Reset(const BoardsAccess& access) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_.load()) return -1;
    std::string error;
    {
        FileLock file_lock(path_, true);
        if (!file_lock.Held() || !RemoveFile(path_, &error)) {
            std::fprintf(stderr, "qmd5820 simulated board: cannot reset the state file: %s\n",
                         file_lock.Held() ? error.c_str() : file_lock.Error().c_str());
            return -1;
        }
    }
    access([&](Boards& boards, uint64_t) {
        for (const auto& board : boards) FactoryLocked(*board);
        dirty_.clear();
        pending_.store(false);
    });
    return 0;
}

std::string Persistence::Path() {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

int32_t Persistence::Describe(const BoardsAccess& access, std::string* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_.load()) return -1;
    (void)SaveLocked(access, true);
    StateImage image;
    std::string damage;
    std::string error;
    {
        FileLock file_lock(path_, false);
        if (!file_lock.Held()) {
            *text = "state file: " + path_ + " (" + file_lock.Error() + ")\n";
            return 0;
        }
        if (!LoadImage(path_, &image, &damage, &error)) {
            *text = "state file: " + path_ + " (unreadable: " + error + ")\n";
            return 0;
        }
    }
    char line[160];
    std::string out = "state file: " + path_ + "\n";
    if (!damage.empty()) out += "the file is damaged (" + damage + "): factory state\n";
    if (image.boards.empty()) out += "every board is in its factory state\n";
    for (const BoardState& b : image.boards) {
        std::snprintf(line, sizeof line,
                      "board %" PRIu32 " (serial %" PRIu32 ", revision %s): outputs 0x%02X, "
                      "output memory %u\n",
                      b.index, b.serial_number, RevisionName(b.hardware_revision), b.outputs,
                      static_cast<unsigned>(b.output_memory));
        out += line;
        std::string pots;
        for (uint32_t i = 0; i < kPotentiometerCount; ++i) {
            if (b.potentiometers[i] == kPotentiometerDefault) continue;
            std::snprintf(line, sizeof line, " %" PRIu32 "=%u", i,
                          static_cast<unsigned>(b.potentiometers[i]));
            pots += line;
        }
        out += pots.empty() ? "  potentiometers: all at 128 (factory)\n"
                            : "  potentiometers not at 128:" + pots + "\n";
        std::snprintf(line, sizeof line, "  EEPROM words that differ from the factory image: %zu\n",
                      b.eeprom.size());
        out += line;
        const std::vector<uint16_t>& factory = Factory(b.serial_number, b.hardware_revision);
        for (const auto& [address, value] : b.eeprom) {
            std::snprintf(line, sizeof line, "    word %5u: 0x%04X (factory 0x%04X)\n",
                          static_cast<unsigned>(address), static_cast<unsigned>(value),
                          static_cast<unsigned>(factory[address]));
            out += line;
        }
    }
    *text = std::move(out);
    return 0;
}

}  // namespace qmdsim
