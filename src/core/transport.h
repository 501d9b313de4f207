// The driver transport: one device I/O control call per request, checked against the
// request table at compile time, with the board's status translation.
#pragma once

#include <array>
#include <cstdint>

#include "QMD5820.h"
#include "core/backend.h"
#include "qmd5820_protocol/requests.h"

namespace qmd {

// The result code of a failed device I/O control call.
inline constexpr int16_t kRequestFailed = -100;

template <uint32_t Code>
inline constexpr RequestSpec kSpecOf = *FindRequest(Code);

// Size of the record of a request: the larger of its input and output.
template <uint32_t Code>
inline constexpr std::size_t kRecordSize = RecordSize(Code);

// A zeroed request record of the right size.
template <uint32_t Code>
using Record = std::array<uint8_t, kRecordSize<Code>>;

// Sends the request without interpreting a status byte: true when the call succeeded.
template <uint32_t Code>
bool Transfer(QMD5820_HANDLE handle, Record<Code>& record) {
    const qmd5820_backend& b = Backend();
    return b.device_io_control(b.context, handle, Code, record.data(), kSpecOf<Code>.in_size,
                               kSpecOf<Code>.out_size) != 0;
}

// Sends a request whose record carries the driver's status in byte 0 on return:
// 0 on success, -100 when the call failed, -s for a driver status s.
template <uint32_t Code>
int16_t Exchange(QMD5820_HANDLE handle, Record<Code>& record) {
    static_assert(kSpecOf<Code>.in_size > 0 && kSpecOf<Code>.out_size > 0,
                  "only requests with both directions carry a status byte");
    record[req::kStatus] = 0;
    if (!Transfer<Code>(handle, record)) return kRequestFailed;
    return static_cast<int16_t>(-static_cast<int16_t>(record[req::kStatus]));
}

}  // namespace qmd
