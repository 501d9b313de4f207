#include "calibration/potentiometers.h"

#include "core/transport.h"

namespace qmd {

int16_t ReadPotentiometer(QMD5820_HANDLE handle, uint8_t index, uint8_t& value) {
    Record<req::kReadPotentiometer> record{};
    record[1] = index;
    const int16_t code = Exchange<req::kReadPotentiometer>(handle, record);
    if (code == 0) value = record[2];
    return code;
}

int16_t WritePotentiometer(QMD5820_HANDLE handle, uint8_t index, uint8_t value) {
    Record<req::kWritePotentiometer> record{};
    record[1] = index;
    record[2] = value;
    return Exchange<req::kWritePotentiometer>(handle, record);
}

}  // namespace qmd
