// One thread per board owns its handle and makes every library call for it, one at a time:
// however many browser tabs send requests, the library sees one caller per board. Between
// requests the thread samples the live values (assigned channels, digital inputs and
// outputs) and publishes them on the board's LiveStream.
#ifndef QMD5820_PANEL_BOARD_OWNER_H
#define QMD5820_PANEL_BOARD_OWNER_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QMD5820.h"
#include "panel/live_stream.h"

namespace qmdpanel {

// What the owner thread keeps about its board; touched only on that thread.
struct BoardState {
    uint8_t index = 0;
    QMD5820_HANDLE handle = 0;
    bool open = false;
    int16_t open_code = 0;
    // Transducer type per channel, -1 for a channel the panel does not read.
    std::array<int, 16> transducer{};
    // The live sampling pauses while an acquisition or a calibration has the board.
    bool busy = false;
    std::string busy_with;
    // Run before every sample (the swing of simulated positions, a running acquisition's
    // reading), and extra fields for the snapshot, by the features that own them.
    std::vector<std::function<void(BoardState&)>> ticks;
    std::vector<std::function<void(BoardState&, std::string& json)>> extends;
};

class BoardOwner {
public:
    BoardOwner(uint8_t index, std::chrono::milliseconds period);
    ~BoardOwner();
    BoardOwner(const BoardOwner&) = delete;
    BoardOwner& operator=(const BoardOwner&) = delete;

    // Runs `task` on the owner thread and waits for its result. After Stop the task does
    // not run and the result is R's default.
    template <class R>
    R Call(std::function<R(BoardState&)> task) {
        auto promise = std::make_shared<std::promise<R>>();
        std::future<R> result = promise->get_future();
        if (!Post([task = std::move(task), promise](BoardState& state) {
                promise->set_value(task(state));
            })) {
            return R{};
        }
        return result.get();
    }

    // Ends the thread after the queued tasks, then `last` runs on it (closing the board).
    void Stop(std::function<void(BoardState&)> last = {});

    LiveStream& stream() { return stream_; }
    uint8_t index() const { return index_; }
    uint64_t samples() const { return samples_.load(); }

private:
    bool Post(std::function<void(BoardState&)> task);
    void Loop();
    void Sample(BoardState& state);

    uint8_t index_;
    std::chrono::milliseconds period_;
    LiveStream stream_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void(BoardState&)>> tasks_;
    std::function<void(BoardState&)> last_;
    bool stopping_ = false;
    std::atomic<uint64_t> samples_{0};
    std::thread thread_;
};

// The library's last-error text of the board (its handle, or 0 before one exists).
std::string LastError(QMD5820_HANDLE handle);

}  // namespace qmdpanel

#endif
