// Placeholders for the connection road's entry points that are not built yet. Each one
// leaves this file when its real body lands.
#include "wireless/core/connect.h"
