#include "calibration/potentiometers.h"

#include "core/transport.h"

namespace qmd {

int16_t ReadPotentiometer(QMD5820_HANDLE handle, uint8_t index, uint8_t& value) {
    Record<req::kReadPotentiometer> record{};
    record[req::potentiometer::kNumber] = index;
    const int16_t code = Exchange<req::kReadPotentiometer>(handle, record);
    if (code == 0) value = record[req::potentiometer::kValue];
    return code;
}

int16_t WritePotentiometer(QMD5820_HANDLE handle, uint8_t index, uint8_t value) {
    Record<req::kWritePotentiometer> record{};
    record[req::potentiometer::kNumber] = index;
    record[req::potentiometer::kValue] = value;
    return Exchange<req::kWritePotentiometer>(handle, record);
}

}  // namespace qmd
