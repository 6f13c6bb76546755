// A machine of the link in a process of its own: this test binary re-executed with "--link-peer",
// driven by one command per line on its stdin. It writes what happens to it as lines on stdout:
// "msg KEY PAYLOAD", "node ID lost|present", "type N", "resync", and one answer per command.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace mqttlinktest {

struct PeerConfig {
    int port = 0;
    std::string prefix;
    std::string user;
    std::string password;
    std::string nodeId;
    int heartbeatMs = 1000;
};

class PeerProcess {
public:
    explicit PeerProcess(const PeerConfig& config);
    ~PeerProcess();  // kills a peer that is still running
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    pid_t pid() const { return pid_; }
    void send(const std::string& command);
    // The first line not yet taken that starts with `prefix`, taking it and every line before
    // it; "" when none came in time.
    std::string waitFor(const std::string& prefix,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends `command` and waits for its answer line, which starts with `answer`.
    std::string ask(const std::string& command, const std::string& answer,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Every line read so far, taken or not.
    const std::vector<std::string>& history() const { return history_; }
    std::vector<std::string> linesStartingWith(const std::string& prefix);
    void signal(int number);
    // The exit code, 128 + signal for a killed peer, -1 on time-out.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    bool readMore(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string pending_;
    std::vector<std::string> history_;
    size_t taken_ = 0;  // lines of history_ already returned by waitFor
};

int runPeer(int argc, char** argv);

// "key=value" out of a line of blank-separated fields; -1 when missing.
long long field(const std::string& line, const std::string& key);

}  // namespace mqttlinktest
