// Placeholder until the store lands: the settings records with their defaults.
#include "config/config.h"

DisplaySettings displaySettings = {0, 0};
SystemSettings systemSettings = {1, 0, 21};
char workDir[260] = "";
WindowRect windowRect = {0, 0, 0, 0};
HKEY appKey = nullptr;
