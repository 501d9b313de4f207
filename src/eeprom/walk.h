// The step from the transducer functionality over its header and input blocks to the
// transducer table, shared by the lookup and the database maintenance, each read with the
// caller's own failure code.
#pragma once

#include <cstdint>

#include "QMD5820.h"

namespace qmd {

struct TableWalkCodes {
    int16_t header_configuration;
    int16_t number_of_inputs;
    int16_t block_size;
};

// From the transducer functionality's first word to the transducer table: 0 and `table`
// set, or the code of the read that failed.
int16_t StepToTable(QMD5820_HANDLE handle, uint16_t functionality, const TableWalkCodes& codes,
                    uint16_t& table);

}  // namespace qmd
