// Test helper: a TCP socket bound to a free loopback port, listening (it accepts connections and
// never answers) or not (connections to its port are refused once it is closed). The test owns it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace testsupport {

struct LoopbackSocket {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    explicit LoopbackSocket(bool listening) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port = ntohs(address.sin_port);
        }
        if (listening) {
            listen(fd, 16);
        }
    }
    ~LoopbackSocket() { close(fd); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    std::string rtspUrl() const { return "rtsp://127.0.0.1:" + std::to_string(port) + "/test"; }
};

}  // namespace testsupport
