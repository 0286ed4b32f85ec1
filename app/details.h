// The details view in this program: sampling the engine's connections while
// a details view is shown (this process's window, or an admin's that asked
// within the last seconds), the details messages between the roles, and the
// disconnect of a connection from either role. Main thread unless said.
#pragma once

#include <cstdint>
#include <vector>

#include "view/conn_record.h"

// How long an admin's request keeps the server sending details.
constexpr int64_t DETAILS_ASKED_MS = 3000;
// Datagrams of records sent to an admin per sample, besides the summary.
constexpr int DETAILS_DATAGRAMS_PER_SAMPLE = 16;

// Every second from TimerProc: asks the engine for a sample (server and
// service roles) or the server for its details (admin role), when wanted.
void DetailsTick();
// Server and service roles: an admin asked for details, and asked to end a
// connection (the data of IPC_MSG_DISCONNECT).
void DetailsRequested();
void DisconnectRequested(const uint8_t* data, uint32_t length);
// Admin role: the data of IPC_MSG_DETAILS.
void DetailsReceived(const uint8_t* data, uint32_t length);
// The engine's sample (socket thread): handed to the main thread.
void DetailsSampled(std::vector<ConnRecord>* records);
// Server role: the window ends a connection of its own engine.
void DisconnectFromServerWindow(uint32_t connId, uint16_t clientPort, int64_t sinceMs);
