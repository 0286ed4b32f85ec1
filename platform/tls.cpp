// TLS sessions over OpenSSL. The engine's sockets are non-blocking and
// driven by the event loop, so every session reads and writes through a BIO
// of its own that calls NetRecv and NetSend: the loop hears of each receive
// and of each send that would block as it does for a plain socket, and a
// vanished peer never raises SIGPIPE.
//
// Every control session gets a random origin, written into each session
// (and so into each ticket) it hands out: a data connection that resumes a
// session tells which control connection it came from (TlsResumedFrom), so
// a stranger holding a session of its own cannot take another client's
// data, while a client that shares its sessions among its own control
// connections is still recognised.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/report.h"
#include "platform/sockstate.h"

struct TlsSession {
    SSL* ssl;
    SOCKET socket;
    bool control;
    unsigned char origin[TLS_ORIGIN_SIZE];
    char failure[160];
};

namespace {

std::mutex contextLock;
SSL_CTX* current = nullptr; // under contextLock

BIO_METHOD* socketMethod = nullptr;
std::once_flag methodOnce;

// One session id context for every connection of the server.
const unsigned char SESSION_CONTEXT[] = "brindlex ftp";

// A session in the server's cache is one object for every connection that
// resumes it, on whichever socket thread: its origin is written and read
// under originLock.
std::mutex originLock;

// The origin of the sessions a control connection hands out.
void MarkOrigin(SSL* ssl) {
    TlsSession* session = (TlsSession*)SSL_get_app_data(ssl);
    SSL_SESSION* established = SSL_get0_session(ssl);
    if (!session || !session->control || !established) return;
    std::lock_guard<std::mutex> guard(originLock);
    SSL_SESSION_set1_ticket_appdata(established, session->origin, sizeof session->origin);
}

int TicketMade(SSL* ssl, void*) {
    MarkOrigin(ssl);
    return 1;
}

SSL_TICKET_RETURN TicketOpened(SSL*, SSL_SESSION*, const unsigned char*, size_t,
                               SSL_TICKET_STATUS status, void*) {
    switch (status) {
    case SSL_TICKET_SUCCESS:
        return SSL_TICKET_RETURN_USE;
    case SSL_TICKET_SUCCESS_RENEW:
        return SSL_TICKET_RETURN_USE_RENEW;
    case SSL_TICKET_EMPTY:
    case SSL_TICKET_NO_DECRYPT:
        return SSL_TICKET_RETURN_IGNORE_RENEW;
    default:
        return SSL_TICKET_RETURN_ABORT;
    }
}

SOCKET BioSocket(BIO* bio) {
    return (SOCKET)(intptr_t)BIO_get_data(bio);
}

int BioWrite(BIO* bio, const char* bytes, int length) {
    BIO_clear_retry_flags(bio);
    int n = NetSend(BioSocket(bio), bytes, length);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) BIO_set_retry_write(bio);
    return n;
}

int BioRead(BIO* bio, char* bytes, int length) {
    BIO_clear_retry_flags(bio);
    int n = NetRecv(BioSocket(bio), bytes, length);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) BIO_set_retry_read(bio);
    return n;
}

long BioCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    std::call_once(methodOnce, [] {
        BIO_METHOD* method =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "engine socket");
        if (!method) return;
        BIO_meth_set_write(method, BioWrite);
        BIO_meth_set_read(method, BioRead);
        BIO_meth_set_ctrl(method, BioCtrl);
        BIO_meth_set_create(method, BioCreate);
        socketMethod = method;
    });
    return socketMethod;
}

// The library's reason for the last failure, one line.
void LibraryReason(char* text, size_t size) {
    unsigned long code = ERR_peek_last_error();
    if (code == 0) {
        snprintf(text, size, "%s", errno ? strerror(errno) : "unknown error");
        return;
    }
    const char* reason = ERR_reason_error_string(code);
    snprintf(text, size, "%s", reason ? reason : "unknown error");
    ERR_clear_error();
}

// A key that others may read is not a secret any more.
int KeyFileSafe(const char* keyFile, char* why, size_t whySize) {
    struct stat st;
    if (stat(keyFile, &st) != 0) {
        snprintf(why, whySize, "TLS key file \"%s\" cannot be read: %s", keyFile, strerror(errno));
        return 0;
    }
    if (st.st_mode & S_IROTH) {
        snprintf(why, whySize,
                 "TLS key file \"%s\" is readable by others (mode %03o); it is not used until "
                 "only its owner and group may read it",
                 keyFile, (unsigned)(st.st_mode & 0777));
        return 0;
    }
    return 1;
}

SSL_CTX* NewContext(const char* certificateFile, const char* keyFile, char* why, size_t whySize) {
    if (!KeyFileSafe(keyFile, why, whySize)) return nullptr;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    char reason[160];
    if (!ctx) {
        LibraryReason(reason, sizeof reason);
        snprintf(why, whySize, "TLS context cannot be made: %s", reason);
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF |
                                 SSL_OP_ENABLE_KTLS);
    // Queues hand their bytes over from wherever they are now, in pieces;
    // an idle session holds no buffers.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(ctx, SESSION_CONTEXT, sizeof SESSION_CONTEXT - 1);
    SSL_CTX_set_session_ticket_cb(ctx, TicketMade, TicketOpened, nullptr);
    const char* failedFile = certificateFile;
    const char* step = "cannot be loaded";
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile) == 1) {
        failedFile = keyFile;
        if (SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) == 1) {
            step = "does not match the certificate";
            if (SSL_CTX_check_private_key(ctx) == 1) return ctx;
        }
    }
    LibraryReason(reason, sizeof reason);
    snprintf(why, whySize, "TLS %s file \"%s\" %s: %s",
             failedFile == keyFile ? "key" : "certificate", failedFile, step, reason);
    SSL_CTX_free(ctx);
    return nullptr;
}

TlsSession* NewSession(SSL_CTX* ctx, SOCKET s, bool control) {
    BIO_METHOD* method = SocketMethod();
    TlsSession* session = new (std::nothrow) TlsSession{};
    SSL* ssl = method && session ? SSL_new(ctx) : nullptr;
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        Report(REPORT_WARNING, "TlsAccept: no memory for a TLS session on socket %d", s);
        if (ssl) SSL_free(ssl);
        delete session;
        return nullptr;
    }
    BIO_set_data(bio, (void*)(intptr_t)s);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_accept_state(ssl);
    if (control && RAND_bytes(session->origin, sizeof session->origin) != 1) {
        Report(REPORT_WARNING, "TlsAccept: no random bytes for a TLS session on socket %d", s);
        SSL_free(ssl);
        delete session;
        return nullptr;
    }
    SSL_set_app_data(ssl, session);
    session->ssl = ssl;
    session->socket = s;
    session->control = control;
    return session;
}

} // namespace

int TlsLoadContext(const char* certificateFile, const char* keyFile, char* why, size_t whySize) {
    SSL_CTX* ctx = NewContext(certificateFile, keyFile, why, whySize);
    std::lock_guard<std::mutex> guard(contextLock);
    SSL_CTX_free(current); // sessions made with it keep their reference
    current = ctx;
    return ctx != nullptr;
}

void TlsDropContext() {
    std::lock_guard<std::mutex> guard(contextLock);
    SSL_CTX_free(current);
    current = nullptr;
}

int TlsContextReady() {
    std::lock_guard<std::mutex> guard(contextLock);
    return current != nullptr;
}

TlsSession* TlsAcceptControl(SOCKET s) {
    // The context is taken (a reference of its own) under the lock and used
    // outside it: a reload on the main thread may replace it meanwhile, and
    // handshakes on other socket threads never wait for this one.
    SSL_CTX* ctx = nullptr;
    {
        std::lock_guard<std::mutex> guard(contextLock);
        if (!current) return nullptr;
        ctx = current;
        SSL_CTX_up_ref(ctx);
    }
    TlsSession* session = NewSession(ctx, s, true);
    SSL_CTX_free(ctx); // the session's SSL keeps its own reference
    return session;
}

TlsSession* TlsAcceptData(SOCKET s, const TlsSession* control) {
    if (!control) return nullptr;
    TlsSession* session = NewSession(SSL_get_SSL_CTX(control->ssl), s, false);
    // Clients resume the control connection's session, never a data
    // connection's; a ticket nobody reads would also make a client that
    // closes after its upload reset the connection instead.
    if (session) SSL_set_num_tickets(session->ssl, 0);
    return session;
}

void TlsFree(TlsSession* session) {
    if (!session) return;
    SSL_free(session->ssl);
    delete session;
}

int TlsHandshake(TlsSession* session) {
    ERR_clear_error();
    int result = SSL_do_handshake(session->ssl);
    if (result == 1) {
        // A session kept in the server's cache (for clients without
        // tickets) carries the origin too.
        MarkOrigin(session->ssl);
        return TLS_DONE;
    }
    int error = SSL_get_error(session->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return TLS_AGAIN;
    if (error == SSL_ERROR_SYSCALL && WSAGetLastError() != 0 && ERR_peek_last_error() == 0)
        snprintf(session->failure, sizeof session->failure, "socket error %d", WSAGetLastError());
    else if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && result == 0))
        snprintf(session->failure, sizeof session->failure, "the client closed the connection");
    else
        LibraryReason(session->failure, sizeof session->failure);
    return TLS_FAILED;
}

const char* TlsFailure(const TlsSession* session) {
    return session->failure[0] ? session->failure : "unknown error";
}

int TlsRecv(TlsSession* session, void* buffer, int length) {
    int total = 0;
    while (total < length) {
        ERR_clear_error();
        int n = SSL_read(session->ssl, (char*)buffer + total, length - total);
        if (n > 0) {
            total += n;
            continue;
        }
        // What was received is handed over first; the condition that ended
        // the loop is met again by the next call.
        if (total > 0) return total;
        int error = SSL_get_error(session->ssl, n);
        switch (error) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return EvNetFail(EAGAIN);
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_last_error() == 0 && WSAGetLastError() != 0) return SOCKET_ERROR;
            [[fallthrough]];
        default:
            LibraryReason(session->failure, sizeof session->failure);
            Report(REPORT_WARNING, "TlsRecv: socket %d: %s", session->socket, session->failure);
            return EvNetFail(ECONNABORTED);
        }
    }
    return total;
}

int TlsSend(TlsSession* session, const void* buffer, int length) {
    if (length <= 0) return 0;
    ERR_clear_error();
    int n = SSL_write(session->ssl, buffer, length);
    if (n > 0) return n;
    int error = SSL_get_error(session->ssl, n);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) return EvNetFail(EAGAIN);
    if (error == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0 && WSAGetLastError() != 0)
        return SOCKET_ERROR;
    LibraryReason(session->failure, sizeof session->failure);
    Report(REPORT_WARNING, "TlsSend: socket %d: %s", session->socket, session->failure);
    return EvNetFail(ECONNABORTED);
}

uint32_t TlsPending(const TlsSession* session) {
    int n = session ? SSL_pending(session->ssl) : 0;
    return n > 0 ? (uint32_t)n : 0;
}

int TlsCloseNotify(TlsSession* session) {
    if (!SSL_is_init_finished(session->ssl) || (SSL_get_shutdown(session->ssl) & SSL_SENT_SHUTDOWN))
        return 1;
    ERR_clear_error();
    int result = SSL_shutdown(session->ssl);
    if (result >= 0) return 1;
    int error = SSL_get_error(session->ssl, result);
    return error == SSL_ERROR_WANT_WRITE ? 0 : 1;
}

int TlsPeerClosed(const TlsSession* session) {
    return (SSL_get_shutdown(session->ssl) & SSL_RECEIVED_SHUTDOWN) ? 1 : 0;
}

int TlsResumed(const TlsSession* session) {
    return SSL_session_reused(session->ssl) ? 1 : 0;
}

int TlsResumedFrom(const TlsSession* data, const TlsSession* control) {
    TlsOrigin resumed, own;
    return TlsResumedOrigin(data, &resumed) && TlsControlOrigin(control, &own) &&
           memcmp(resumed.bytes, own.bytes, TLS_ORIGIN_SIZE) == 0;
}

int TlsControlOrigin(const TlsSession* control, TlsOrigin* origin) {
    if (!control || !control->control) return 0;
    memcpy(origin->bytes, control->origin, TLS_ORIGIN_SIZE);
    return 1;
}

int TlsResumedOrigin(const TlsSession* data, TlsOrigin* origin) {
    if (!data || !SSL_session_reused(data->ssl)) return 0;
    void* carried = nullptr;
    size_t size = 0;
    SSL_SESSION* resumed = SSL_get0_session(data->ssl);
    std::lock_guard<std::mutex> guard(originLock);
    if (!resumed || SSL_SESSION_get0_ticket_appdata(resumed, &carried, &size) != 1 ||
        size != TLS_ORIGIN_SIZE)
        return 0;
    memcpy(origin->bytes, carried, TLS_ORIGIN_SIZE);
    return 1;
}

const char* TlsDescribe(const TlsSession* session, char* text, size_t size) {
    snprintf(text, size, "%s %s", SSL_get_version(session->ssl),
             SSL_CIPHER_get_name(SSL_get_current_cipher(session->ssl)));
    return text;
}

int TlsKernelSend(const TlsSession* session) {
    return BIO_get_ktls_send(SSL_get_wbio(session->ssl)) ? 1 : 0;
}

int TlsSendFile(TlsSession* session, int fileFd, uint64_t offset, int length) {
    ERR_clear_error();
    ossl_ssize_t n = SSL_sendfile(session->ssl, fileFd, (off_t)offset, (size_t)length, 0);
    if (n >= 0) return (int)n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        EvSockSendFailed(session->socket, errno);
        return EvNetFail(errno);
    }
    return EvNetFail(errno ? errno : ECONNABORTED);
}
