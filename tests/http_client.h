// http_client.h - the little HTTP the exporter's tests and benchmark need:
// a loopback port nothing listens on, and the body of a GET on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

namespace kelftest {

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A loopback port nothing listens on now.
inline int free_port() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// The body of GET path on 127.0.0.1:port; empty when nothing answered
// within 10 seconds.
inline std::string http_get(int port, const std::string &path) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    timeval tv{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string body;
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(s, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::recv(s, buf, sizeof buf, 0)) > 0;)
                body.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(s);
    const auto at = body.find("\r\n\r\n");
    return at == std::string::npos ? "" : body.substr(at + 4);
}

}  // namespace kelftest
