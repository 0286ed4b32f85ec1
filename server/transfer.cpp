// The movers of file transfers: SendFile/SendData hand the file to the data
// connection block by block as fast as the socket takes it, straight from
// the file (no copy through the program, no queue); RecvFile/RecvData write
// what arrives (without TLS spliced through a pipe, also without a copy).
// Bytes are copied unchanged whatever TYPE says. Memory per transfer stays
// at about one block. The speed limits and quotas (limits.h) size each
// piece and may hold a transfer back.
#include <cstring>
#include <memory>

#include "log/log.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/splice_pipe.h"
#include "server/audit.h"
#include "server/data.h"
#include "server/dataconn.h"
#include "server/limits.h"
#include "server/sockthread.h"
#include "server/tls_conn.h"

namespace {

// Largest piece of a download handed to the socket in one call.
constexpr uint32_t SEND_BLOCK = 256 * 1024;
// Largest receive of an upload, written to the file at once.
constexpr uint32_t RECV_BLOCK = 256 * 1024;
// Blocks sent in one event before the connection yields to the others: a
// client that reads as fast as the server sends must not hold the thread.
constexpr int BLOCKS_PER_EVENT = 4;

// The scratch blocks belong to the socket thread that uses them (each
// thread moves only its own connections' bytes); made at a thread's first
// use, so threads that move no file pay nothing.
uint8_t* RecvBuffer() {
    thread_local std::unique_ptr<uint8_t[]> block =
        std::make_unique_for_overwrite<uint8_t[]>(RECV_BLOCK);
    return block.get();
}

// A download over TLS without the kernel's TLS: the file is read in blocks
// of this size into the data queue, and the next block is read only once
// the session has taken the last one.
constexpr uint32_t TLS_BLOCK = 64 * 1024;
uint8_t* TlsBlock() {
    thread_local std::unique_ptr<uint8_t[]> block =
        std::make_unique_for_overwrite<uint8_t[]>(TLS_BLOCK);
    return block.get();
}

void FailSend(Conn* conn) {
    Channel* data = &conn->data;
    data->failed = 1;
    data->shutdownWhenDrained = 1;
    CloseTransferFile(conn);
    ConnWrite(conn, data);
}

// Asks for FD_WRITE again: selecting the events anew arms it for a
// connected socket, and it arrives in turn with the other sockets' events.
void ResumeLater(Conn* conn) {
    if (NetAsyncSelect(conn->data.socket, SOCK_MSG_DATA, FD_READ | FD_WRITE | FD_CLOSE) ==
        SOCKET_ERROR) {
        int code = WSAGetLastError();
        LogPrintf(LOG_WARNING, "SendData(%u) Error %d selecting events: %s", conn->connId, code,
                  WinsockErrorName(code));
        FailSend(conn);
    }
}

// The file's end was handed over: the close alert and the shutdown follow
// once the queue is empty.
void SendDone(Conn* conn) {
    LogPrintf(LOG_INFO, "SendData(%u) done", conn->connId);
    // Closing the file here releases it for writers at once and tells the
    // end of the data connection that everything was read.
    CloseTransferFile(conn);
    conn->data.shutdownWhenDrained = 1;
    ConnWrite(conn, &conn->data);
}

// A download over TLS: with the kernel's TLS the file goes to the socket as
// by sendfile, otherwise block by block through the session.
void SendDataTls(Conn* conn) {
    Channel* data = &conn->data;
    bool kernel = TlsKernelSend(data->tls);
    if (conn->auditBytes == 0 && !(data->out.block && data->out.length > 0))
        LogPrintf(LOG_INFO, "SendData(%u) TLS download: %s", conn->connId,
                  kernel ? "kernel TLS with sendfile" : "64 KiB blocks through the TLS library");
    for (int blocks = 0;; blocks++) {
        if (data->out.block && data->out.length > 0) {
            if (ConnWrite(conn, data) < 0) {
                FailSend(conn);
                return;
            }
            if (data->out.block && data->out.length > 0) return; // FD_WRITE goes on
        }
        if (blocks == BLOCKS_PER_EVENT) {
            ResumeLater(conn);
            return;
        }
        uint32_t piece = RateGrant(conn, RATE_SEND, kernel ? SEND_BLOCK : TLS_BLOCK);
        if (piece == 0) {
            RateWait(conn, LIMIT_WAIT_SEND); // the tick sends on
            return;
        }
        int64_t n;
        if (kernel) {
            n = TlsSendFile(data->tls, conn->fileHandle, conn->filePosition + conn->auditBytes,
                            (int)piece);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return;
        } else {
            uint8_t* block = TlsBlock();
            n = FsRead(conn->fileHandle, block, piece);
            if (n > 0 && !AppendQueue(&data->out, block, (uint32_t)n)) n = -1;
        }
        if (n < 0) {
            LogPrintf(LOG_WARNING, "SendData(%u) Error sending the file over TLS.", conn->connId);
            FailSend(conn);
            return;
        }
        if (n == 0) break;
        RateCharge(conn, RATE_SEND, (uint32_t)n);
        AuditCount(conn, n);
    }
    SendDone(conn);
}

} // namespace

void SendFile(Conn* conn) {
    CloseTransferFile(conn);
    uint64_t size = 0;
    int fd = FsOpenRead(conn->user.Root, conn->transferPath, &size);
    if (fd < 0) {
        LogPrintf(LOG_WARNING, "SendFile(%u) error %lu opening file: %s", conn->connId,
                  (unsigned long)FsLastError(), conn->transferPath);
        FailSend(conn);
        return;
    }
    conn->fileHandle = fd;
    conn->fileLeft = size > conn->filePosition ? size - conn->filePosition : 0;
    LogPrintf(LOG_INFO, "SendFile(%u) opened file: %s", conn->connId, conn->transferPath);
    if (conn->filePosition != 0) {
        LogPrintf(LOG_INFO, "SendFile(%u) setting file position to %llu", conn->connId,
                  (unsigned long long)conn->filePosition);
        if (!FsSeek(fd, conn->filePosition)) {
            LogPrintf(LOG_WARNING, "SendFile(%u) error %lu setting file position", conn->connId,
                      (unsigned long)FsLastError());
            FailSend(conn);
            return;
        }
    }
    SendData(conn);
}

void SendData(Conn* conn) {
    Channel* data = &conn->data;
    if (data->socket == INVALID_SOCKET) return;
    if (conn->fileHandle == INVALID_FILE_HANDLE) {
        // Everything was sent already; only the shutdown may be pending.
        ConnWrite(conn, data);
        return;
    }
    if (data->tls) {
        SendDataTls(conn);
        return;
    }
    for (int blocks = 0;; blocks++) {
        if (blocks == BLOCKS_PER_EVENT) {
            ResumeLater(conn);
            return;
        }
        uint32_t piece = RateGrant(conn, RATE_SEND, SEND_BLOCK);
        if (piece == 0) {
            RateWait(conn, LIMIT_WAIT_SEND); // the tick sends on
            return;
        }
        int sent = NetSendFile(data->socket, conn->fileHandle, (int)piece);
        if (sent == SOCKET_ERROR) {
            int code = WSAGetLastError();
            // The socket is full: FD_WRITE goes on from the file position.
            if (code == WSAEWOULDBLOCK) return;
            LogPrintf(LOG_WARNING, "SendData(%u) Error %d while writing: %s", conn->connId, code,
                      WinsockErrorName(code));
            FailSend(conn);
            return;
        }
        LogPrintf(LOG_TRACE0, "SendData(%u) Sent %d bytes.", conn->connId, sent);
        RateCharge(conn, RATE_SEND, (uint32_t)sent);
        AuditCount(conn, sent);
        if (sent == 0) break;
        // A piece cut short exactly at the size the file had at its open is
        // its end: no further call to learn that nothing is left. A file that
        // grew meanwhile is sent on until a call returns nothing.
        conn->fileLeft =
            (uint64_t)sent <= conn->fileLeft ? conn->fileLeft - (uint64_t)sent : UINT64_MAX;
        if (conn->fileLeft == 0 && (uint32_t)sent < piece) break;
    }
    SendDone(conn);
}

void RecvFile(Conn* conn) {
    Channel* data = &conn->data;
    CloseTransferFile(conn);
    if (QuotaUploadBegin(conn) <= 0) return; // refused (552), or waits for the measurement
    int fd = FsOpenWrite(conn->user.Root, conn->transferPath, conn->filePosition == 0);
    if (fd < 0) {
        LogPrintf(LOG_WARNING, "RecvFile(%u) error %lu opening file: %s", conn->connId,
                  (unsigned long)FsLastError(), conn->transferPath);
        QuotaUploadAbandoned(conn);
        data->failed = 1;
        data->shutdownWhenDrained = 1;
        ConnWrite(conn, data);
        // What arrives from now on is read and dropped (RecvData).
        QueueFree(&data->in);
        return;
    }
    conn->fileHandle = fd;
    if (conn->filePosition == 0) QuotaUploadOpened(conn, 0, 0);
    if (conn->filePosition != 0) {
        uint64_t position = conn->filePosition;
        if (position == FILE_POSITION_APPEND) {
            int64_t size = FsSize(fd);
            position = size < 0 ? 0 : (uint64_t)size;
            if (size < 0) {
                LogPrintf(LOG_WARNING, "RecvFile(%u) error %lu reading file size", conn->connId,
                          (unsigned long)FsLastError());
                data->failed = 1;
                CloseTransferFile(conn);
            }
        }
        if (conn->fileHandle != INVALID_FILE_HANDLE) {
            LogPrintf(LOG_INFO, "RecvFile(%u) setting file position to %llu", conn->connId,
                      (unsigned long long)position);
            if (!FsSeek(fd, position)) {
                LogPrintf(LOG_WARNING, "RecvFile(%u) error %lu setting file position", conn->connId,
                          (unsigned long)FsLastError());
                data->failed = 1;
                CloseTransferFile(conn);
            } else {
                int64_t length = FsSize(fd);
                QuotaUploadOpened(conn, position, length < 0 ? position : (uint64_t)length);
            }
        }
    }
    RecvData(conn);
}

void RecvData(Conn* conn) {
    Channel* data = &conn->data;
    uint32_t unread = QueueUnread(&data->in);
    if (unread == 0) return;
    if (conn->fileHandle == INVALID_FILE_HANDLE) {
        // The upload has failed: drop the bytes so memory stays bounded.
        QueueFree(&data->in);
        return;
    }
    const uint8_t* bytes = QueueBytes(&data->in);
    if (!bytes) {
        LogPrintf(LOG_WARNING, "RecvData(%u) Error locking global handle.", conn->connId);
        return;
    }
    uint32_t fit = QuotaFit(conn, unread);
    int64_t written = FsWrite(conn->fileHandle, bytes + data->in.readPos, fit);
    QuotaWritten(conn, written > 0 ? (uint64_t)written : 0);
    if (written == (int64_t)fit && fit < unread) {
        QuotaRefuse(conn);
        return;
    }
    if (written != (int64_t)fit) {
        LogPrintf(LOG_WARNING, "RecvData(%u) Error %lu writing file.", conn->connId,
                  (unsigned long)FsLastError());
        data->failed = 1;
        CloseTransferFile(conn);
        QueueFree(&data->in);
        return;
    }
    AuditCount(conn, written);
    QueueFree(&data->in);
}

int ReceiveUpload(Conn* conn) {
    Channel* data = &conn->data;
    if (conn->limit.waiting != LIMIT_WAIT_NONE) return 0; // the limits resume it
    RecvData(conn);
    if (data->socket == INVALID_SOCKET) return -1;
    // Without TLS the bytes go from the socket to the file through a pipe,
    // never copied through the program, and a receive may take as much as
    // the pipe holds; a failed upload reads and drops.
    const SplicePipe* pipe =
        !data->tls && conn->fileHandle != INVALID_FILE_HANDLE ? SplicePipeGet() : nullptr;
    uint32_t piece = RateGrant(conn, RATE_RECEIVE, pipe ? SPLICE_PIPE_BYTES : RECV_BLOCK);
    if (piece == 0) {
        RateWait(conn, LIMIT_WAIT_RECEIVE); // the tick reads on
        return 0;
    }
    uint8_t* buffer = pipe ? nullptr : RecvBuffer();
    int n = pipe ? NetRecvToPipe(data->socket, pipe->writeEnd, (int)piece)
                 : ChannelRecv(data, buffer, (int)piece);
    if (n == SOCKET_ERROR) {
        int code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) return 0;
        LogPrintf(LOG_WARNING, "RecvData(%u) Error %d reading from socket: %s", conn->connId, code,
                  WinsockErrorName(code));
        return -1;
    }
    LogPrintf(LOG_TRACE0, "RecvData(%u) Read %d bytes.", conn->connId, n);
    RateCharge(conn, RATE_RECEIVE, (uint32_t)n);
    if (n == 0 || conn->fileHandle == INVALID_FILE_HANDLE) return n; // a failed upload drops them
    uint32_t fit = QuotaFit(conn, (uint32_t)n);
    int64_t written = pipe ? FsWriteFromPipe(conn->fileHandle, pipe->readEnd, fit)
                           : FsWrite(conn->fileHandle, buffer, fit);
    // What the file did not take leaves the pipe, empty for the next receive.
    if (pipe && written < (int64_t)n) SplicePipeDrop((uint32_t)(n - (written > 0 ? written : 0)));
    AuditCount(conn, written);
    QuotaWritten(conn, written > 0 ? (uint64_t)written : 0);
    if (written == (int64_t)fit && fit < (uint32_t)n) {
        QuotaRefuse(conn);
        return n;
    }
    if (written != (int64_t)fit) {
        LogPrintf(LOG_WARNING, "RecvData(%u) Error %lu writing file.", conn->connId,
                  (unsigned long)FsLastError());
        data->failed = 1;
        CloseTransferFile(conn);
    }
    return n;
}
