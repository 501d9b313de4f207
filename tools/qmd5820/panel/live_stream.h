// The latest live snapshot of one board, handed to every listener (Server-Sent Events).
// Only the newest snapshot is kept: a slow listener skips snapshots instead of growing a
// queue, and a listener that stops reading holds nothing but its own connection.
#ifndef QMD5820_PANEL_LIVE_STREAM_H
#define QMD5820_PANEL_LIVE_STREAM_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace qmdpanel {

class LiveStream {
public:
    struct Snapshot {
        uint64_t sequence = 0;
        std::string data;  // one JSON object
    };

    void Publish(std::string data) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            latest_.data = std::move(data);
            ++latest_.sequence;
        }
        changed_.notify_all();
    }

    // The first snapshot newer than `seen`, waiting at most `timeout`; nothing after the
    // timeout or once the stream is closed.
    std::optional<Snapshot> Next(uint64_t seen, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return closed_ || latest_.sequence > seen; });
        if (closed_ || latest_.sequence <= seen) return std::nullopt;
        return latest_;
    }

    // Wakes every listener for good (the server is stopping).
    void Close() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }

    bool closed() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }

    uint64_t sequence() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return latest_.sequence;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Snapshot latest_;
    bool closed_ = false;
};

}  // namespace qmdpanel

#endif
