// The simulated boards' state file in one process: what is kept and where in the file,
// paths and files it must never open for writing or replace, damaged files, reset, and
// requests that fail when the file cannot be used.
#include "sim_state_test.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>

namespace {

using namespace state_test;

// Words some distance from the identity and directory, with values that differ from the
// factory image.
constexpr uint16_t kWords[] = {40000, 40001, 50000, 65535};

// Changes board 0 through requests: EEPROM words, outputs, potentiometer 7.
void ChangeBoard() {
    const uint64_t h = OpenBoard(0);
    for (uint16_t w : kWords) EXPECT_EQ(WriteWord(h, w, static_cast<uint16_t>(w ^ 0x5A5A)), 0);
    EXPECT_EQ(Outputs(h, 0x05, true), 0);
    EXPECT_EQ(Ioctl(h, req::kWritePotentiometer, {0, 7, 201}), 0);
    // Refused requests change nothing.
    EXPECT_NE(Ioctl(h, req::kWritePotentiometer, {0, 40, 9}), 0);
    CloseBoard(h);
}

void ExpectChanged(bool changed) {
    for (uint16_t w : kWords) {
        EXPECT_EQ(qmdsim_eeprom_get(0, w),
                  changed ? static_cast<uint16_t>(w ^ 0x5A5A) : FactoryWord(0, w))
            << "word " << w;
    }
    EXPECT_EQ(qmdsim_digital_outputs(0), changed ? 0x05 : 0x00);
    EXPECT_EQ(qmdsim_potentiometer(0, 7), changed ? 201 : 128);
    EXPECT_EQ(qmdsim_eeprom_get(1, kWords[0]), FactoryWord(1, kWords[0]));
    EXPECT_EQ(qmdsim_digital_outputs(1), 0x00);
}

using StateFileTest = StateTest;

TEST_F(StateFileTest, ChangesAreKeptWhereTheLayoutSays) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    qmdsim_reset();  // detaches; the boards are factory boards again
    ExpectChanged(false);

    const Bytes file = ReadAll(path_);
    ASSERT_EQ(file.size(), kFileBytes);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "QMDSIMST");
    EXPECT_EQ(bytes::GetU32(file.data() + 8), 2u);
    EXPECT_EQ(bytes::GetU32(file.data() + 16), 16u);
    EXPECT_EQ(bytes::GetU32(file.data() + 20), kSlotBytes);
    const uint8_t* slot0 = file.data() + kHeaderBytes;
    qmdsim_board_config config{};
    qmdsim_default_board_config(0, &config);
    EXPECT_EQ(bytes::GetU32(slot0), 1u);  // kept
    EXPECT_EQ(bytes::GetU32(slot0 + 4), config.serial_number);
    EXPECT_EQ(slot0[8], config.hardware_revision);
    EXPECT_EQ(slot0[9], 0x05);        // outputs
    EXPECT_EQ(slot0[24 + 7], 201);    // potentiometer 7
    EXPECT_EQ(slot0[24 + 6], 128);
    for (uint16_t w : kWords) {
        EXPECT_EQ(bytes::GetU16(slot0 + 128 + 2 * std::size_t{w}), w ^ 0x5A5A) << w;
    }
    EXPECT_EQ(bytes::GetU32(file.data() + kHeaderBytes + kSlotBytes), 0u);  // board 1: factory

    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ExpectChanged(true);
    // A word written back to its factory value no longer counts as a difference.
    const uint64_t h = OpenBoard(0);
    EXPECT_EQ(WriteWord(h, kWords[0], FactoryWord(0, kWords[0])), 0);
    CloseBoard(h);
    const std::string text = Describe();
    EXPECT_NE(text.find(path_.string()), std::string::npos) << text;
    EXPECT_NE(text.find("EEPROM words that differ from the factory image: 3"), std::string::npos)
        << text;
    EXPECT_NE(text.find("outputs 0x05"), std::string::npos) << text;
    EXPECT_NE(text.find(" 7=201"), std::string::npos) << text;
    EXPECT_EQ(text.find("board 1"), std::string::npos) << text;
}

TEST_F(StateFileTest, ResetReturnsToFactoryAndRemovesOnlyTheStateFile) {
    ASSERT_EQ(qmdsim_state_reset(), -1);  // nothing attached
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    ASSERT_TRUE(fs::exists(path_));
    const fs::path other = path_.parent_path() / "sim-state.tmp.keep";  // not ours to remove
    WriteAll(other, {'k'});
    ASSERT_EQ(qmdsim_state_reset(), 0);
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_FALSE(fs::exists(path_.string() + ".lock"));
    EXPECT_TRUE(fs::exists(other));
    ExpectChanged(false);
    EXPECT_NE(Describe().find("every board is in its factory state"), std::string::npos);
    ASSERT_EQ(Reattach(), 0);
    ExpectChanged(false);
}

// Anything at the path that is not a state file of this format: attaching fails with what
// to do, every request fails, and the path is left exactly as it was, by `reset` too.
TEST_F(StateFileTest, WhatIsNotAStateFileIsNeverOpenedForWritingNorReplaced) {
    fs::create_directories(dir_);
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path socket_path = dir_ / "sock";
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const fs::path text = dir_ / "notes.txt";
    WriteAll(text, Bytes{'k', 'e', 'e', 'p', '\n'});
    const fs::path empty = dir_ / "empty";
    WriteAll(empty, {});
    const fs::path older = dir_ / "older";  // the magic, another format version
    Bytes old_format = {'Q', 'M', 'D', 'S', 'I', 'M', 'S', 'T', 1, 0, 0, 0, 4, 0, 0, 0};
    old_format.resize(24);
    WriteAll(older, old_format);
    const fs::path huge = dir_ / "huge";  // 8 GB, sparse
    { std::ofstream touch(huge); }
    fs::resize_file(huge, std::uintmax_t{8} << 30);
    const fs::path fifo_lock = dir_ / "locked";
    ASSERT_EQ(::mkfifo((fifo_lock.string() + ".lock").c_str(), 0600), 0);

    enum Reset { kRefused, kRemoved, kNothingThere };
    struct Case {
        fs::path path;
        const char* says;  // part of the message
        Reset reset;       // a state file of another format is one `reset` may remove
        fs::path kept;     // what must stay as it was (the path itself when empty)
    };
    const Case cases[] = {
        {"/dev/null", "is a device", kRefused, {}},
        {dir_, "is a directory", kRefused, {}},
        {fifo, "is a FIFO", kRefused, {}},
        {socket_path, "is a socket", kRefused, {}},
        {text, "is not a state file", kRefused, {}},
        {empty, "is not a state file", kRefused, {}},
        {huge, "is not a state file", kRefused, {}},
        {older, "another format (version 1)", kRemoved, {}},
        {fifo_lock, "locked.lock is a FIFO", kNothingThere, fifo_lock.string() + ".lock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        const fs::path kept = c.kept.empty() ? c.path : c.kept;
        struct stat before;
        ASSERT_EQ(::stat(kept.c_str(), &before), 0);
        const Bytes content = fs::is_regular_file(kept) && fs::file_size(kept) < 100
                                  ? ReadAll(kept)
                                  : Bytes{};
        qmdsim_reset();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(qmdsim_state_attach(c.path.c_str()), -1);
        const uint64_t h = OpenBoard(0);
        EXPECT_EQ(Outputs(h, 0x01, true), -1);  // the request fails: nothing runs unkept
        EXPECT_EQ(ReadOutputs(h), -1);
        CloseBoard(h);
        EXPECT_EQ(qmdsim_state_flush(), -1);
        const int32_t reset = qmdsim_state_reset();
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_TRUE(message.find("QMD5820_SIM_STATE") != std::string::npos) << message;
        if (c.reset == kRemoved) {
            EXPECT_EQ(reset, 0);
            EXPECT_FALSE(fs::exists(c.path));
            continue;
        }
        EXPECT_EQ(reset, c.reset == kRefused ? -1 : 0);
        struct stat after;
        ASSERT_EQ(::stat(kept.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        if (!content.empty()) {
            EXPECT_EQ(ReadAll(kept), content);
        }
        EXPECT_FALSE(fs::exists(c.path.string() + ".tmp." + std::to_string(::getpid())));
    }
    ::close(sock);
}

// A damaged file of this format: reported, read as the factory state, and replaced (or
// the damaged entry reset) so that the next change is kept.
TEST_F(StateFileTest, DamagedStateFileIsReportedAndReplaced) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    ChangeBoard();
    qmdsim_reset();
    const Bytes good = ReadAll(path_);
    ASSERT_EQ(good.size(), kFileBytes);

    struct Damage {
        const char* name;
        std::size_t size;  // truncated to, or kept
        std::size_t at;    // a u32 written here, or none
        uint32_t value;
        const char* reason;
    };
    constexpr std::size_t kKeep = SIZE_MAX;
    const Damage damages[] = {
        {"header only", 12, kKeep, 0, "shorter than its header"},
        {"truncated", good.size() - 1, kKeep, 0, "size does not match"},
        {"slot count", kKeep, 16, 17, "header does not describe"},
        {"slot size", kKeep, 20, 4, "header does not describe"},
        {"entry of board 0", kKeep, kHeaderBytes, 7, "the entry of board 0"},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        Bytes b = good;
        if (d.size != kKeep) b.resize(d.size);
        if (d.at != kKeep) bytes::PutU32(b.data() + d.at, d.value);
        WriteAll(path_, b);
        qmdsim_reset();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(qmdsim_state_attach(path_.c_str()), 0);
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find(path_.string() + " is damaged"), std::string::npos) << message;
        EXPECT_NE(message.find(d.reason), std::string::npos) << message;
        ExpectChanged(false);
        const uint64_t h = OpenBoard(0);
        EXPECT_EQ(WriteWord(h, 12345, 0xBEEF), 0);
        CloseBoard(h);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(Reattach(), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(qmdsim_eeprom_get(0, 12345), 0xBEEF);
        EXPECT_EQ(fs::file_size(path_), kFileBytes);
    }
}

// The file cannot be made (no space for it, its directory cannot be made): attaching
// fails, requests fail, and nothing is left behind.
TEST_F(StateFileTest, AFileThatCannotBeMadeMakesRequestsFail) {
    struct Case {
        const char* name;
        bool small_file_limit;  // stands for a full disk: the file cannot be allocated
        bool parent_is_a_file;
    };
    const Case cases[] = {{"no space", true, false}, {"parent is a file", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(path_.parent_path());
        fs::path path = path_;
        if (c.parent_is_a_file) {
            WriteAll(dir_ / "plain", {'x'});
            path = dir_ / "plain" / "sim-state";
        }
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.small_file_limit) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{4096, 4096};
                ::setrlimit(RLIMIT_FSIZE, &limit);
            }
            qmdsim_reset();
            int failures = 0;
            failures += qmdsim_state_attach(path.c_str()) == -1 ? 0 : 1;
            const uint64_t h = OpenBoard(0);
            failures += Outputs(h, 0x01, true) == -1 ? 0 : 1;
            failures += qmdsim_state_flush() == -1 ? 0 : 1;
            ::_exit(failures);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_FALSE(fs::exists(path));
        for (const auto& entry : fs::directory_iterator(path_.parent_path())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "sim-state.lock") << name;
        }
    }
}

TEST_F(StateFileTest, OffKeepsNoFile) {
    ::setenv("QMD5820_SIM_STATE", "off", 1);
    EXPECT_EQ(qmdsim_state_attach(nullptr), 1);
    EXPECT_EQ(qmdsim_state_path(nullptr, 0), 0u);
    const uint64_t h = OpenBoard(0);
    EXPECT_EQ(Outputs(h, 0x01, true), 0);  // requests run, nothing is kept
    CloseBoard(h);
    EXPECT_EQ(qmdsim_state_flush(), 0);
    EXPECT_FALSE(fs::exists(dir_));
}

}  // namespace

#endif  // !_WIN32
