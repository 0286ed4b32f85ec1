// The in-memory settings records: what the group loads fill and the saves
// write. Zero at start except where a default is documented.
#include "config/config.h"

DisplaySettings displaySettings = {0, 0};
SystemSettings systemSettings = {1, 0, 21};
char workDir[260] = "";
WindowRect windowRect = {0, 0, 0, 0};
