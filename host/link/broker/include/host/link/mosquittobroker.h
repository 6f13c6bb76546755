// A private Mosquitto broker for tests, benchmarks and the demo: Debian's `mosquitto` started with
// a generated configuration in a temporary folder, on a free loopback port, each installation
// confined by user and ACL to its own prefix. The object owns the process and the folder and
// removes both; not thread-safe (one owner thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace host::link {

struct BrokerInstallation {
    std::string prefix;  // the user may read and write PREFIX/# and nothing else
    std::string user;
    std::string password;
};

struct MosquittoBrokerOptions {
    std::vector<BrokerInstallation> installations;
    std::string bindAddress = "127.0.0.1";
    // Messages (and sessions) survive a restart only with persistence, saved at this interval.
    bool persistence = false;
    std::chrono::seconds autosaveInterval{1};
    std::size_t maxPacketBytes = 10 * 1024 * 1024 + 64 * 1024;
    std::size_t maxQueuedMessages = 1000;  // per client, beyond which QoS 1 messages are dropped
};

class MosquittoBroker {
public:
    // Picks a free port and retries with another one if the broker cannot bind it. Null, with
    // `error` set, when the broker does not come up.
    static std::unique_ptr<MosquittoBroker> start(MosquittoBrokerOptions options,
                                                  std::string* error = nullptr);
    ~MosquittoBroker();  // stops the broker, removes its folder
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    const std::string& host() const;
    std::uint16_t port() const;
    pid_t pid() const;  // -1 while stopped

    // Stops the broker with SIGTERM (a clean shutdown that saves its state) and waits for it.
    void stop();
    // Kills the broker with SIGKILL and waits for it.
    void kill();
    // Starts the stopped broker again on the same port with the same configuration.
    bool restart(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string log() const;

private:
    struct Impl;
    explicit MosquittoBroker(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::link
