// libFuzzer target: sequences of library calls decoded from the input against two
// simulated boards on the virtual clock, interleaved with the simulator's fault injection
// (failing calls, driver statuses, failing opens, closes and enumerations), interrupts,
// short circuits, channel positions and the passage of time.
//
// Each execution starts from the same simulated boards without rebuilding them: the
// harness undoes what it changed (faults, routines, acquisitions, timers, pending
// interrupts, open handles) and rewrites only the EEPROM words that were written.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "QMD5820.h"
#include "api_calls.h"
#include "core/board_table.h"
#include "qmd5820_protocol/requests.h"
#include "fuzz_support.h"
#include "interrupts/interrupts.h"
#include "qmd5820sim.h"

namespace {

using qmdfuzz::Input;

// Calls per execution: enough for an acquisition or a routine with faults around it; 32
// made the executions a third slower.
constexpr unsigned kMaxCalls = 16;
constexpr uint32_t kBoards = 2;

std::atomic<uint64_t> g_sink{0};

void Routine(QMD5820_HANDLE, uint8_t info, uint32_t value1, uint32_t value2, uint32_t* data,
             uint32_t count) {
    uint64_t sum = info + value1 + value2;
    for (uint32_t i = 0; i < count && i < 32; ++i) sum += data[i];
    g_sink.fetch_add(sum, std::memory_order_relaxed);
}

uint32_t Board(Input& in) {
    const uint8_t b = in.U8();
    return b == 0xFF ? QMDSIM_ANY_BOARD : b % (kBoards + 1);  // board 2 does not exist
}

uint32_t RequestCode(Input& in) {
    const uint8_t pick = in.U8();
    if (pick == 0xFF) return QMDSIM_ANY_CODE;
    return qmd::kRequestTable[pick % std::size(qmd::kRequestTable)].code;
}

void Setup() {
    qmdsim_reset();
    qmdsim_set_virtual_clock(1);
    qmd::OnProcessAttach();
    qmdfuzz::EepromUndo::Install(kBoards);
    std::fclose(stdout);  // the delete's diagnostic line is not wanted here
}

// Reads and drops every interrupt record still queued on the board, through a handle of
// the harness's own.
void DrainInterrupts(uint32_t board) {
    if (qmdsim_pending_interrupts(board) == 0) return;
    const qmd5820_backend* sim = qmdsim_backend();
    uint64_t handle = 0;
    if (sim->open_board(sim->context, board, &handle) != QMD5820_OPEN_OK) return;
    uint8_t record[qmd::RecordSize(qmd::req::kReadInterruptRecord)] = {};
    do {
        if (sim->device_io_control(sim->context, handle, qmd::req::kReadInterruptRecord, record,
                                   0, sizeof record) == 0) {
            break;
        }
    } while (record[qmd::req::interrupt_record::kEmpty] == 0);
    sim->close_handle(sim->context, handle);
}

void Cleanup() {
    qmdsim_fault_clear();
    for (int i = 0; i < qmd::kBoardRecords; ++i) {
        if (qmd::Board(i).interrupt_installed.load() != 0) qmd::RemoveInterruptRoutine(qmd::Board(i));
    }
    uint8_t boards = 0;
    i_QMD5820_GetNumberOfBoards(&boards);
    for (uint32_t b = 0; b < kBoards; ++b) {
        qmdsim_set_acquisition_running(b, 0);
        qmdsim_clear_short_circuit(b);
        qmdsim_set_position(b, static_cast<uint8_t>(b), 0.0);
        QMD5820_HANDLE h = 0;
        if (i_QMD5820_OpenBoardViaIndex(static_cast<uint8_t>(b), &h) == 0) {
            i_QMD5820_StopTimer(h);
            i_QMD5820_RearmPrimaryLine(h);
            i_QMD5820_EnableDisableShortCircuitInterrupts(h, 0);
            for (int closes = 0; closes < 1000 && i_QMD5820_CloseBoard(h) == 0; ++closes) {
            }
        }
        DrainInterrupts(b);
    }
    qmdfuzz::EepromUndo::Restore();
    // What a process attach does, for the board records an execution can reach (the
    // simulated boards; every other record stays as the attach at start left it).
    qmd::BoardCount() = 0;
    for (uint32_t b = 0; b < kBoards; ++b) qmd::Board(static_cast<int>(b)).Reset();
}

void SimulatorEvent(Input& in) {
    switch (in.Below(12)) {
        case 0: {
            const uint32_t board = Board(in);
            const uint32_t code = RequestCode(in);
            const uint32_t nth = in.Below(4);
            const int32_t kind = in.Bool() ? QMDSIM_FAULT_CALL : QMDSIM_FAULT_STATUS;
            qmdsim_fault_request(board, code, nth, kind, in.U8());
            break;
        }
        case 1: {
            const uint32_t board = Board(in);
            const bool read = in.Bool();
            const uint32_t address =
                qmd::req::eeprom_word::ByteAddress(static_cast<uint16_t>(in.U16() % 1280));
            const uint32_t nth = in.Below(3);
            const int32_t kind = in.Bool() ? QMDSIM_FAULT_CALL : QMDSIM_FAULT_STATUS;
            qmdsim_fault_request_at(board, read ? qmd::req::kEepromRead : qmd::req::kEepromWrite,
                                    address, nth, kind, in.U8());
            break;
        }
        case 2: {
            const uint32_t board = in.Below(kBoards);
            qmdsim_fault_open(board, -static_cast<int32_t>(in.Below(8)));  // 0 clears; -1, -2 ignored
            break;
        }
        case 3: qmdsim_fault_close(in.Below(3)); break;
        case 4: qmdsim_fault_enumeration(in.Bool() ? -1 : (in.Bool() ? -3 : 0)); break;
        case 5: {
            qmdsim_interrupt record{};
            record.info = in.U8();
            record.value1 = in.U32();
            record.value2 = in.U32();
            for (uint32_t& v : record.data) v = in.U32();
            static constexpr uint32_t kCounts[] = {0, 1, 32, 33, 1000, 0xFFFFFFFFu};
            record.data_count = kCounts[in.Below(std::size(kCounts))];
            qmdsim_raise_interrupt(in.Below(kBoards), &record);
            break;
        }
        // At most 255 us a step: the fastest timer (1 us) queues at most 255 records a step, so
        // a full FIFO takes many steps and an execution stays short.
        case 6: qmdsim_advance_us(in.U8()); break;
        case 7: qmdsim_set_acquisition_running(in.Below(kBoards), in.Bool() ? 1 : 0); break;
        case 8:
            if (in.Bool()) {
                qmdsim_inject_short_circuit(in.Below(kBoards), in.Bool() ? 1 : 0);
            } else {
                qmdsim_clear_short_circuit(in.Below(kBoards));
            }
            break;
        case 9: {
            const uint32_t board = in.Below(kBoards);
            const uint8_t channel = in.U8() % 16;
            qmdsim_set_position(board, channel, in.Double());
            break;
        }
        case 10: qmdsim_set_digital_inputs(in.Below(kBoards), in.U8()); break;
        default: qmdsim_fault_clear(); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    Input in(data, size);
    QMD5820_HANDLE handles[3] = {};
    unsigned updates = 0;
    for (unsigned calls = 0; calls < kMaxCalls && !in.Empty(); ++calls) {
        const uint8_t op = in.U8();
        QMD5820_HANDLE& h = handles[op % 3];
        switch ((op >> 2) % 10) {
            case 0: {
                uint8_t boards = 0;
                i_QMD5820_GetNumberOfBoards(&boards);
                break;
            }
            case 1: i_QMD5820_OpenBoardViaIndex(in.U8() % 3, &h); break;
            case 2: {
                static constexpr const char* kNames[] = {"QMD5820-DEMO-0", "QMD5820-DEMO-1",
                                                         "QMD5820-DEMO", "", "qmd5820-demo-0"};
                i_QMD5820_OpenBoardViaIdentifier(kNames[in.Below(std::size(kNames))], &h);
                break;
            }
            case 3: i_QMD5820_CloseBoard(h); break;
            case 4: {
                const uint8_t index = in.U8() % 3;
                const uint32_t identifier_size = in.U8() % 90;
                auto identifier = qmdfuzz::Array<char>(identifier_size);
                uint32_t v[7] = {};
                uint8_t v8 = 0;
                i_QMD5820_GetBoardInformation(index, identifier_size, identifier.get(), &v[0],
                                              &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v8);
                break;
            }
            case 5:
                if (in.Bool()) {
                    i_QMD5820_SetBoardIntRoutine(h, Routine);
                } else {
                    i_QMD5820_ResetBoardIntRoutine(h);
                }
                break;
            case 6:
            case 7: SimulatorEvent(in); break;
            default: qmdfuzz::CallApi(h, in, updates); break;
        }
    }
    Cleanup();
    return 0;
}
