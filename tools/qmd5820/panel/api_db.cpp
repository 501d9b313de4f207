// Transducer database page.
#include <httplib.h>

#include "panel/panel_server.h"

namespace qmdpanel {

void DatabaseRoutes(Panel&, httplib::Server&) {}

}  // namespace qmdpanel
