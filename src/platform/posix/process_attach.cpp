// Outside Windows there is no DllMain: the board table gets its process-attach
// initialisation when the shared library is loaded.
#include "core/board_table.h"

namespace {
[[gnu::constructor]] void AttachToProcess() { qmd::OnProcessAttach(); }
}  // namespace
