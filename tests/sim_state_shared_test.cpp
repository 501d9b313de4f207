// Processes sharing the simulated boards through the state file: each sees the others'
// changes at its next request, simultaneous changes are never lost, a reset does not pull
// the boards from under another process, and a process that dies holding the file's lock
// does not stop the others.
#include "sim_state_test.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <cstdio>
#include <functional>

namespace {

using namespace state_test;

// Runs `body` in a child process that uses the file as a program of its own would; its
// result is the exit status.
pid_t Child(const fs::path& path, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    qmdsim_reset();
    int result = qmdsim_state_attach(path.c_str()) == 0 ? body() : 100;
    qmdsim_reset();
    ::_exit(result);
}

int Wait(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A one-byte message between two processes.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fd), 0); }
    ~Pipe() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void Send() const { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
    bool Receive() const {
        char c;
        return ::read(fd[0], &c, 1) == 1;
    }
};

uint16_t ReadWord(uint64_t handle, uint16_t word) {
    Bytes r(12, 0);
    bytes::PutU32(r.data() + req::eeprom_word::kByteAddress, uint32_t{word} * 2);
    B().device_io_control(B().context, handle, req::kEepromRead, r.data(), 12, 12);
    return static_cast<uint16_t>(bytes::GetU32(r.data() + req::eeprom_word::kValue));
}

using SharedStateTest = StateTest;

// Two programs with the same board open: what one changes, the other's next request sees
// (no reopening, no reattaching), both ways.
TEST_F(SharedStateTest, EachRequestSeesTheOtherProcessesChanges) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    const uint64_t h = OpenBoard(0);
    ASSERT_EQ(ReadOutputs(h), 0x00);
    Pipe changed;
    Pipe go;
    const pid_t child = Child(path_, [&] {
        const uint64_t ch = OpenBoard(0);
        int failures = Outputs(ch, 0x05, true) == 0 ? 0 : 1;
        failures += WriteWord(ch, 30000, 0x1234) == 0 ? 0 : 1;
        changed.Send();
        if (!go.Receive()) return 90;
        failures += ReadOutputs(ch) == 0x07 ? 0 : 10;
        failures += ReadWord(ch, 30001) == 0x4321 ? 0 : 20;
        return failures;
    });
    ASSERT_TRUE(changed.Receive());
    EXPECT_EQ(ReadOutputs(h), 0x05);
    EXPECT_EQ(ReadWord(h, 30000), 0x1234);
    EXPECT_EQ(qmdsim_digital_outputs(0), 0x05);  // the control API too
    EXPECT_EQ(Outputs(h, 0x02, true), 0);
    EXPECT_EQ(WriteWord(h, 30001, 0x4321), 0);
    go.Send();
    EXPECT_EQ(Wait(child), 0);
    CloseBoard(h);
}

// Processes switching distinct output bits on at the same time, each several times over:
// the outputs always end with every bit on (a change laid over a stale copy would switch
// another process's bit off again).
TEST_F(SharedStateTest, SimultaneousOutputChangesAreNeverLost) {
    constexpr int kTrials = 50;
    constexpr int kProcesses = 4;
    int lost = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        ASSERT_EQ(Reattach(), 0);
        const uint64_t h = OpenBoard(0);
        ASSERT_EQ(Outputs(h, 0xFF, false), 0);
        CloseBoard(h);
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            const uint8_t bit = static_cast<uint8_t>(1u << p);
            children.push_back(Child(path_, [bit] {
                const uint64_t ch = OpenBoard(0);
                int failures = 0;
                for (int k = 0; k < 10; ++k) {
                    failures += Outputs(ch, bit, true) == 0 ? 0 : 1;
                    failures += Outputs(ch, bit, false) == 0 ? 0 : 1;
                }
                failures += Outputs(ch, bit, true) == 0 ? 0 : 1;
                CloseBoard(ch);
                return failures;
            }));
        }
        for (pid_t pid : children) EXPECT_EQ(Wait(pid), 0);
        ASSERT_EQ(Reattach(), 0);
        const uint64_t check = OpenBoard(0);
        lost += ReadOutputs(check) == 0x0F ? 0 : 1;
        CloseBoard(check);
    }
    std::printf("simultaneous output changes: %d of %d trials lost a change\n", lost, kTrials);
    EXPECT_EQ(lost, 0);
}

// Two processes writing different words of one board at once keep every word.
TEST_F(SharedStateTest, SimultaneousWordWritesAreAllKept) {
    constexpr uint16_t kRounds = 150;
    std::vector<pid_t> children;
    for (uint16_t writer = 0; writer < 2; ++writer) {
        children.push_back(Child(path_, [writer] {
            const uint64_t h = OpenBoard(0);
            int failures = 0;
            for (uint16_t i = 0; i < kRounds; ++i) {
                const uint16_t word = static_cast<uint16_t>(20000 + writer * 1000 + i);
                failures += WriteWord(h, word, static_cast<uint16_t>(0xA000 + writer * 0x1000 + i)) == 0 ? 0 : 1;
            }
            return failures;  // exits without closing the board or flushing
        }));
    }
    for (pid_t pid : children) EXPECT_EQ(Wait(pid), 0);
    ASSERT_EQ(Reattach(), 0);
    for (uint16_t writer = 0; writer < 2; ++writer) {
        for (uint16_t i = 0; i < kRounds; ++i) {
            const uint16_t word = static_cast<uint16_t>(20000 + writer * 1000 + i);
            ASSERT_EQ(qmdsim_eeprom_get(0, word), 0xA000 + writer * 0x1000 + i) << word;
        }
    }
    for (const auto& entry : fs::directory_iterator(path_.parent_path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "sim-state" || name == "sim-state.lock") << name;
    }
}

// A reset while another process uses the boards changes nothing; forced, it resets them
// in place (the other process sees the factory state at its next request) and keeps the
// file; once alone, it removes the file.
TEST_F(SharedStateTest, ResetWaitsForTheOtherProcessesOrIsForced) {
    Pipe changed;
    Pipe go;
    const pid_t child = Child(path_, [&] {
        const uint64_t h = OpenBoard(0);
        int failures = Outputs(h, 0x05, true) == 0 ? 0 : 1;
        changed.Send();
        if (!go.Receive()) return 90;
        failures += ReadOutputs(h) == 0x00 ? 0 : 10;
        return failures;
    });
    ASSERT_TRUE(changed.Receive());
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    EXPECT_EQ(qmdsim_state_reset(), -2);
    const uint64_t h = OpenBoard(0);
    EXPECT_EQ(ReadOutputs(h), 0x05);  // nothing was reset
    EXPECT_EQ(qmdsim_state_force_reset(), 0);
    EXPECT_TRUE(fs::exists(path_));
    EXPECT_EQ(ReadOutputs(h), 0x00);
    go.Send();
    EXPECT_EQ(Wait(child), 0);
    EXPECT_EQ(Outputs(h, 0x03, true), 0);
    EXPECT_EQ(qmdsim_state_reset(), 0);  // alone now
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(ReadOutputs(h), 0x00);
    CloseBoard(h);
}

// A process that dies holding the file's lock: the next request of another process takes
// it over and runs (it would wait for ever otherwise).
TEST_F(SharedStateTest, ALockLeftByADeadProcessIsTakenOver) {
    ASSERT_EQ(qmdsim_state_attach(path_.c_str()), 0);
    const uint64_t h = OpenBoard(0);
    ASSERT_EQ(Outputs(h, 0x09, true), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(path_.c_str(), O_RDWR);
        void* map = ::mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) ::_exit(1);
        auto* lock = reinterpret_cast<pthread_mutex_t*>(static_cast<uint8_t*>(map) + 64);
        ::_exit(pthread_mutex_lock(lock) == 0 ? 0 : 2);
    }
    ASSERT_EQ(Wait(pid), 0);
    EXPECT_EQ(ReadOutputs(h), 0x09);
    EXPECT_EQ(Outputs(h, 0x10, true), 0);
    EXPECT_EQ(ReadOutputs(h), 0x19);
    CloseBoard(h);
}

}  // namespace

#endif  // !_WIN32
