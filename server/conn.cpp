// Placeholder until the connection table lands.
#include "server/conn.h"

ConnTable connTable = {nullptr, 0};
char versionCaption[32] = "Brindlex V1.2";

void AcceptProc(SOCKET) {}
void ControlProc(intptr_t, SOCKET) {}
void RefreshConnections() {}
void SockDestroyProc() {}
