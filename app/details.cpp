#include "app/details.h"

#include <memory>

#include "ipc/ipc.h"
#include "ipc/ipc_details.h"
#include "ipc/role.h"
#include "log/log.h"
#include "platform/eventloop.h"
#include "platform/mainqueue.h"
#include "server/conn_details.h"
#include "server/sockthread.h"
#include "view/conn_rate.h"
#include "view/connview.h"

namespace {
int64_t askedAtMs = 0; // an admin's last IPC_MSG_DETAILS_REQUEST; 0 = never
size_t sendCursor = 0; // where the next round of records to an admin starts

bool AdminAskedRecently(int64_t now) {
    return askedAtMs != 0 && now - askedAtMs <= DETAILS_ASKED_MS;
}

// The summary, then the records from the cursor on, at most
// DETAILS_DATAGRAMS_PER_SAMPLE datagrams of them: with more connections than
// fit, the next sample goes on where this one stopped.
void SendToAdmin(const std::vector<ConnRecord>& records, const ConnSummary& summary) {
    uint8_t data[IPC_DATA_MAX];
    IpcSend(IPC_MSG_DETAILS, data, IpcPackSummary(summary, data));
    if (sendCursor >= records.size()) sendCursor = 0;
    size_t start = sendCursor, next = sendCursor;
    for (int i = 0; i < DETAILS_DATAGRAMS_PER_SAMPLE && next < records.size(); i++) {
        uint32_t length = IpcPackDetails(records.data(), records.size(), &next, data);
        if (length == 0) break;
        if (!IpcSend(IPC_MSG_DETAILS, data, length)) break;
    }
    sendCursor = next == start ? 0 : next;
}

void SampleArrived(std::vector<ConnRecord>& records) {
    int64_t now = EvNowMs();
    ConnSummary summary = ConnRateUpdate(records.data(), records.size(), now);
    if (ConnViewDetailsShown()) {
        ConnViewSetDetails(records.data(), records.size());
        ConnViewSetSummary(summary);
    }
    if (AdminAskedRecently(now)) SendToAdmin(records, summary);
}
} // namespace

void DetailsTick() {
    if (RoleIsServerOrService()) {
        if (sockWindow && (ConnViewDetailsShown() || AdminAskedRecently(EvNowMs())))
            SockPost(SOCK_MSG_DETAILS, 0, 0);
    } else if (ConnViewDetailsShown()) {
        IpcSend(IPC_MSG_DETAILS_REQUEST, nullptr, 0);
    }
}

void DetailsRequested() {
    askedAtMs = EvNowMs();
}

void DetailsSampled(std::vector<ConnRecord>* records) {
    std::shared_ptr<std::vector<ConnRecord>> owned(records);
    MainQueuePost([owned] { SampleArrived(*owned); });
}

void DetailsReceived(const uint8_t* data, uint32_t length) {
    std::vector<ConnRecord> records;
    ConnSummary summary = {};
    uint8_t kind = 0;
    if (!IpcUnpackDetails(data, length, &records, &summary, &kind)) {
        LogPrintf(LOG_WARNING, "TimerProc: unexpected message");
        return;
    }
    if (!ConnViewExists() || !ConnViewDetailsShown()) return;
    if (kind == IPC_DETAILS_SUMMARY)
        ConnViewSetSummary(summary);
    else
        ConnViewSetDetails(records.data(), records.size());
}

void DisconnectRequested(const uint8_t* data, uint32_t length) {
    uint32_t connId = 0;
    uint16_t port = 0;
    int64_t since = 0;
    if (!IpcUnpackDisconnect(data, length, &connId, &port, &since)) {
        LogPrintf(LOG_WARNING, "TimerProc: unexpected message");
        return;
    }
    LogPrintf(LOG_INFO, "TimerProc: an admin asks to disconnect id=%u", connId);
    if (sockWindow)
        SockPost(SOCK_MSG_DISCONNECT, DisconnectWParam(connId, port, DISCONNECT_ADMIN),
                 (intptr_t)since);
}

void DisconnectFromServerWindow(uint32_t connId, uint16_t clientPort, int64_t sinceMs) {
    if (sockWindow)
        SockPost(SOCK_MSG_DISCONNECT,
                 DisconnectWParam(connId, clientPort, DISCONNECT_SERVER_WINDOW), (intptr_t)sinceMs);
}
