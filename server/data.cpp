// Placeholder until data connections land.
#include "server/data.h"

void DataProc(intptr_t, SOCKET) {}
void PassiveProc(SOCKET) {}
