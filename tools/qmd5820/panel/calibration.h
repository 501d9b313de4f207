// The calibration wizard's run on one board, driven on the board's owner thread: the worker
// (polled between samples) or the step-by-step procedure (each step a blocking call, its live
// values published meanwhile from the address the board maps), the instruction for each
// wait, the break with its restore, and readings before and after.
#ifndef QMD5820_PANEL_CALIBRATION_H
#define QMD5820_PANEL_CALIBRATION_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "panel/board_owner.h"
#include "panel/panel_server.h"

namespace qmdpanel {

struct CalibrationSetup {
    bool worker = true;
    uint8_t transducer = 0, first = 0, second = 0, model = 0;
    uint32_t impedance = 1;
    double position = 0.0;
    std::vector<double> readings_at;  // positions from the transducer's zero
};

class CalibrationRun {
public:
    // Each returns the reply for the page (owner thread).
    Json Start(BoardState& state, LiveStream& stream, const CalibrationSetup& setup);
    Json Continue(BoardState& state, LiveStream& stream);
    Json Break(BoardState& state);
    // Between samples: follows the worker; adds the run to the snapshot.
    void Tick(BoardState& state);
    void Extend(std::string& json) const;
    // The panel stops: a running calibration is broken off (restoring what it changed).
    void Abandon(BoardState& state);

private:
    void Finish(BoardState& state, bool done, const std::string& outcome);
    Json Readings(BoardState& state, bool after);
    double Zero(BoardState& state) const;
    void Place(BoardState& state, uint8_t channel, double x, const char* what);
    void StepWait(BoardState& state);
    int16_t RunStep(BoardState& state, LiveStream& stream, bool first);

    CalibrationSetup setup_;
    double zero_ = 0.0;  // where channel `first` reads zero, found at the worker's wait for it
    double range_ = 0.0;
    bool running_ = false;
    bool stepping_ = false;  // step by step: between Start and the last step
    std::size_t next_step_ = 0;
    int32_t status_ = 0, handled_ = -1;
    uint32_t values_[2] = {};
    std::string phase_, instruction_, outcome_;
    Json before_ = Json::array(), after_ = Json::array();
    uint64_t address_ = 0;
};

}  // namespace qmdpanel

#endif
