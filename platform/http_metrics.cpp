#include "platform/http_metrics.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

MHD_Daemon* endpoint = nullptr;
std::string (*renderText)() = nullptr;

constexpr const char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result Handle(void*, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void**) {
    if (*uploadSize) { // a request body is read and ignored
        *uploadSize = 0;
        return MHD_YES;
    }
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
    if (strcmp(url, "/metrics") != 0)
        return Answer(connection, MHD_HTTP_NOT_FOUND, "the metrics are at /metrics\n",
                      "text/plain");
    return Answer(connection, MHD_HTTP_OK, renderText(), kContentType);
}

// A listening socket at address, or -1 with *why.
int Listen(const NetAddress& address, std::string* why) {
    sockaddr_storage storage = {};
    socklen_t length;
    if (address.family == NET_FAMILY_IPV6) {
        auto* in6 = (sockaddr_in6*)&storage;
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address.port);
        memcpy(&in6->sin6_addr, address.bytes, 16);
        length = sizeof *in6;
    } else {
        auto* in4 = (sockaddr_in*)&storage;
        in4->sin_family = AF_INET;
        in4->sin_port = htons(address.port);
        memcpy(&in4->sin_addr, address.bytes, 4);
        length = sizeof *in4;
    }
    int s = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (s >= 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (s < 0 || bind(s, (sockaddr*)&storage, length) != 0 || listen(s, 16) != 0) {
        *why = strerror(errno);
        if (s >= 0) close(s);
        return -1;
    }
    return s;
}

} // namespace

int HttpMetricsStart(const NetAddress& address, std::string (*render)(), std::string* why) {
    HttpMetricsStop();
    int s = Listen(address, why);
    if (s < 0) return 0;
    renderText = render;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
    if (address.family == NET_FAMILY_IPV6) flags |= MHD_USE_IPv6;
    endpoint = MHD_start_daemon(flags, 0, nullptr, nullptr, Handle, nullptr,
                                MHD_OPTION_LISTEN_SOCKET, s, MHD_OPTION_CONNECTION_LIMIT, 16u,
                                MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (!endpoint) {
        close(s);
        *why = "the HTTP server could not start";
        return 0;
    }
    return 1;
}

void HttpMetricsStop() {
    if (!endpoint) return;
    MHD_stop_daemon(endpoint); // closes the listening socket
    endpoint = nullptr;
}

bool HttpMetricsRunning() {
    return endpoint != nullptr;
}
