// Link messages between two processes through a private Mosquitto broker, against a minimal
// libmosquitto publisher/subscriber pair through the same broker, measured in the same run:
// round-trip latency (median and p99, interleaved) and sustained one-way messages per second.
// Targets: the link's median within 1.5x of the pair's, its throughput at least 0.8x of it.
// The other process is this binary re-executed with "--echo".
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <host/link/mosquittobroker.h>
#include <host/link/mqttlinkmgr.h>
#include <host/spdlogapplication.h>

#include "rawclient.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const host::link::BrokerInstallation kInstallation{"bench", "bench", "bench-secret"};
constexpr size_t kPayloadBytes = 128;  // about one echo address record
constexpr int kFloodCount = 20000;
constexpr int kFloodRounds = 5;

std::string payload(uint64_t number, char mark = 'P') {
    std::string text = mark + std::to_string(number);
    text.resize(kPayloadBytes, '.');
    return text;
}

uint64_t numberOf(const std::string& text) {
    return std::strtoull(text.c_str() + 1, nullptr, 10);
}

host::link::MqttLinkOptions linkOptions(std::uint16_t port, const std::string& node) {
    host::link::MqttLinkOptions options;
    options.brokerPort = port;
    options.prefix = kInstallation.prefix;
    options.username = kInstallation.user;
    options.password = kInstallation.password;
    options.nodeId = node;
    return options;
}

std::string rawTopic(const std::string& name) {
    return kInstallation.prefix + "/raw/" + name;
}

void publish(host::link::MqttLinkMgr& link, const std::string& key, const std::string& text) {
    vantor::link::LinkMessage message{key, text, true, {}, 0};
    link.publish(message);
}

// The other process: answers every ping with a pong and counts floods, on both stacks.
int runEcho(std::uint16_t port) {
    RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::warn);
    uint64_t rawFlood = 0;  // on the raw client's network thread only
    std::unique_ptr<linkbench::RawClient> raw;
    raw = std::make_unique<linkbench::RawClient>(
        "bench-echo-raw", kInstallation.user, kInstallation.password, port,
        [&](const std::string& topic, const std::string& text) {
            if (topic == rawTopic("ping")) {
                raw->publish(rawTopic("pong"), text);
            } else if (topic == rawTopic("flood")) {
                ++rawFlood;
                if (text[0] == 'E') {
                    raw->publish(rawTopic("done"), payload(rawFlood, 'D'));
                    rawFlood = 0;
                }
            }
        });
    raw->subscribe(rawTopic("ping"));
    raw->subscribe(rawTopic("flood"));
    uint64_t linkFlood = 0;  // on the link's delivery thread only
    host::link::MqttLinkMgr link(linkOptions(port, "echo"));
    link.subscribe("ping", [&](std::string text, std::string) { publish(link, "pong", text); });
    link.subscribe("flood", [&](std::string text, std::string) {
        ++linkFlood;
        if (text[0] == 'E') {
            publish(link, "done", payload(linkFlood, 'D'));
            linkFlood = 0;
        }
    });
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    return 0;
}

// The last message of each kind that arrived, for the measuring thread to wait on.
class Mailbox {
public:
    void put(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = text;
        ++arrivals_;
        arrived_.notify_all();
    }
    // Waits for a message whose number is `number`; false on time-out.
    bool waitFor(uint64_t number, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, timeout,
                                 [&] { return arrivals_ > 0 && numberOf(last_) == number; });
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string last_;       // guarded by mutex_
    uint64_t arrivals_ = 0;  // guarded by mutex_
};

class EchoProcess {
public:
    explicit EchoProcess(std::uint16_t port) {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> args = {"/proc/self/exe", "--echo", std::to_string(port)};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        if (::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        toChild_ = in[1];
    }
    ~EchoProcess() {
        ::close(toChild_);  // the child leaves at the end of its input
        int status = 0;
        for (int i = 0; i < 500 && pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
};

// A broker, the echo process, and this process's raw client and link manager.
struct Rig {
    Rig() {
        RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::warn);
        host::link::MosquittoBrokerOptions options;
        options.installations = {kInstallation};
        options.maxQueuedMessages = 100000;
        broker = host::link::MosquittoBroker::start(options);
        if (!broker) {
            return;
        }
        echo = std::make_unique<EchoProcess>(broker->port());
        raw = std::make_unique<linkbench::RawClient>(
            "bench-raw", kInstallation.user, kInstallation.password, broker->port(),
            [this](const std::string& topic, const std::string& text) {
                (topic == rawTopic("pong") ? rawPong : rawDone).put(text);
            });
        raw->subscribe(rawTopic("pong"));
        raw->subscribe(rawTopic("done"));
        link = std::make_unique<host::link::MqttLinkMgr>(linkOptions(broker->port(), "bench"));
        link->subscribe("pong", [this](std::string text, std::string) { linkPong.put(text); });
        link->subscribe("done", [this](std::string text, std::string) { linkDone.put(text); });
        ready = link->waitConnected(10s) && warmUp();
    }

    // Until both echoes answer: the other process subscribes on its own time.
    bool warmUp() {
        for (uint64_t i = 1; i < 200; ++i) {
            if (rawRoundTrip(i, 100ms) >= 0 && linkRoundTrip(i, 100ms) >= 0) {
                return true;
            }
        }
        return false;
    }

    // Microseconds, or -1 when no answer came.
    double rawRoundTrip(uint64_t number, std::chrono::milliseconds timeout = 5000ms) {
        const auto start = Clock::now();
        raw->publish(rawTopic("ping"), payload(number));
        return rawPong.waitFor(number, timeout) ? micros(start) : -1;
    }
    double linkRoundTrip(uint64_t number, std::chrono::milliseconds timeout = 5000ms) {
        const auto start = Clock::now();
        publish(*link, "ping", payload(number));
        return linkPong.waitFor(number, timeout) ? micros(start) : -1;
    }

    // Messages per second of a one-way flood, or -1 when not all arrived.
    double rawFlood() {
        const auto start = Clock::now();
        for (int i = 1; i < kFloodCount; ++i) {
            raw->publish(rawTopic("flood"), payload(i));
        }
        raw->publish(rawTopic("flood"), payload(kFloodCount, 'E'));
        return rawDone.waitFor(kFloodCount, 30s) ? kFloodCount / seconds(start) : -1;
    }
    double linkFlood() {
        const auto start = Clock::now();
        for (int i = 1; i < kFloodCount; ++i) {
            publish(*link, "flood", payload(i));
        }
        publish(*link, "flood", payload(kFloodCount, 'E'));
        return linkDone.waitFor(kFloodCount, 30s) ? kFloodCount / seconds(start) : -1;
    }

    static double micros(Clock::time_point start) {
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }
    static double seconds(Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    std::unique_ptr<host::link::MosquittoBroker> broker;
    std::unique_ptr<EchoProcess> echo;
    Mailbox rawPong, rawDone, linkPong, linkDone;
    std::unique_ptr<linkbench::RawClient> raw;
    std::unique_ptr<host::link::MqttLinkMgr> link;
    bool ready = false;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

void BM_RoundTripLinkVersusRawPair(benchmark::State& state) {
    Rig rig;
    if (!rig.ready) {
        state.SkipWithError("broker or echo process not ready");
        return;
    }
    std::vector<double> raw;
    std::vector<double> link;
    uint64_t number = 1000;
    for (auto _ : state) {
        ++number;
        raw.push_back(rig.rawRoundTrip(number));
        link.push_back(rig.linkRoundTrip(number));
        if (raw.back() < 0 || link.back() < 0) {
            state.SkipWithError("an echo did not answer");
            return;
        }
    }
    const double rawP50 = percentile(raw, 0.5);
    const double linkP50 = percentile(link, 0.5);
    const double rawP99 = percentile(raw, 0.99);
    const double linkP99 = percentile(link, 0.99);
    state.counters["raw_p50_us"] = rawP50;
    state.counters["link_p50_us"] = linkP50;
    state.counters["p50_ratio"] = linkP50 / rawP50;
    state.counters["raw_p99_us"] = rawP99;
    state.counters["link_p99_us"] = linkP99;
    state.counters["p99_ratio"] = linkP99 / rawP99;
}
BENCHMARK(BM_RoundTripLinkVersusRawPair)->UseRealTime()->Iterations(2000);

void BM_ThroughputLinkVersusRawPair(benchmark::State& state) {
    Rig rig;
    if (!rig.ready) {
        state.SkipWithError("broker or echo process not ready");
        return;
    }
    std::vector<double> raw;
    std::vector<double> link;
    for (auto _ : state) {
        for (int round = 0; round < kFloodRounds; ++round) {
            raw.push_back(rig.rawFlood());
            link.push_back(rig.linkFlood());
            if (raw.back() < 0 || link.back() < 0) {
                state.SkipWithError("a flood did not arrive complete");
                return;
            }
        }
    }
    const double rawRate = percentile(raw, 0.5);
    const double linkRate = percentile(link, 0.5);
    state.counters["raw_msgs_per_s"] = rawRate;
    state.counters["link_msgs_per_s"] = linkRate;
    state.counters["throughput_ratio"] = linkRate / rawRate;
}
BENCHMARK(BM_ThroughputLinkVersusRawPair)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--echo") == 0) {
        return runEcho(static_cast<std::uint16_t>(std::atoi(argv[2])));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
