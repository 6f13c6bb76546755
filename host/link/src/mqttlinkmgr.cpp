#include <host/link/mqttlinkmgr.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include <mqtt_protocol.h>

#include <host/log.h>

#include "boundedqueue.h"
#include "deliverythread.h"
#include "envelope.h"
#include "mosquittohandle.h"
#include "presencetracker.h"
#include "sequencefilter.h"
#include "topics.h"

namespace host::link {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kQos = 1;
constexpr auto kLoopWait = 50ms;
// Room for the topic and the frame header of a message of the largest allowed payload.
constexpr uint32_t kPacketHeadroom = 64 * 1024;

uint64_t sessionStamp() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// "online 123" / "offline 123".
std::optional<std::pair<bool, uint64_t>> parseStatus(const std::string& text) {
    const auto blank = text.find(' ');
    if (blank == std::string::npos) {
        return std::nullopt;
    }
    const std::string word = text.substr(0, blank);
    if (word != "online" && word != "offline") {
        return std::nullopt;
    }
    const auto session = parseDecimal(text.substr(blank + 1));
    if (!session) {
        return std::nullopt;
    }
    return std::make_pair(word == "online", *session);
}

void validate(const MqttLinkOptions& options) {
    if (!topics::isValidNodeId(options.nodeId) || options.nodeId.size() > 255) {
        throw std::invalid_argument("link: the node id \"" + options.nodeId +
                                    "\" is empty, longer than 255 bytes or holds '/', '+' or '#'");
    }
    if (!topics::isValidPrefix(options.prefix)) {
        throw std::invalid_argument("link: the prefix \"" + options.prefix +
                                    "\" is empty, ends in '/' or holds '+' or '#'");
    }
    if (options.heartbeat <= 0ms || options.queueBound == 0 || options.maxMessageBytes == 0 ||
        options.maxMessageBytes > UINT32_MAX - kPacketHeadroom || options.reconnectMin <= 0ms ||
        options.reconnectMax < options.reconnectMin) {
        throw std::invalid_argument(
            "link: heartbeat, queue bound, message size and reconnect delays must be positive");
    }
    if (options.keepAlive < std::chrono::seconds(5)) {
        throw std::invalid_argument("link: libmosquitto accepts no keep-alive under 5 s");
    }
}

}  // namespace

struct MqttLinkMgr::Impl {
    struct Pending {
        std::string topic;
        std::string key;
        std::string frame;  // header and payload, as sent
    };

    Impl(MqttLinkMgr& owner, MqttLinkOptions opts)
        : owner(owner),
          options(std::move(opts)),
          session(sessionStamp()),
          statusTopic(topics::status(options.prefix, options.nodeId)),
          heartbeatTopic(topics::heartbeat(options.prefix, options.nodeId)),
          heartbeatPayload(std::to_string(session)),
          client(options.prefix + "/" + options.nodeId + "/" + heartbeatPayload, this),
          offline(options.queueBound),
          presence(2 * options.heartbeat + options.heartbeat / 2) {
        if (client.get() == nullptr) {
            throw std::runtime_error("link: libmosquitto could not create a client");
        }
        configureClient();
        network = std::thread([this] { run(); });
    }

    void shutdown() {
        stopping = true;
        if (network.joinable()) {
            network.join();
        }
        delivery.drain();
    }

    // --- set-up (constructor) ---

    void configureClient() {
        auto* mosq = client.get();
        mosquitto_connect_v5_callback_set(
            mosq, [](struct mosquitto*, void* self, int rc, int, const mosquitto_property*) {
                static_cast<Impl*>(self)->onConnect(rc);
            });
        mosquitto_message_v5_callback_set(
            mosq, [](struct mosquitto*, void* self, const mosquitto_message* message,
                     const mosquitto_property*) { static_cast<Impl*>(self)->onMessage(*message); });
        mosquitto_subscribe_v5_callback_set(
            mosq, [](struct mosquitto*, void* self, int mid, int, const int*,
                     const mosquitto_property*) { static_cast<Impl*>(self)->onSubscribed(mid); });
        mosquitto_publish_v5_callback_set(
            mosq, [](struct mosquitto*, void* self, int mid, int, const mosquitto_property*) {
                auto* impl = static_cast<Impl*>(self);
                if (mid == impl->farewellMid) {
                    impl->farewellAcknowledged = true;
                }
            });
        const std::string will = "offline " + heartbeatPayload;
        mosquitto_will_set_v5(mosq, statusTopic.c_str(), static_cast<int>(will.size()), will.data(),
                              kQos, true, nullptr);
        if (!options.username.empty()) {
            mosquitto_username_pw_set(
                mosq, options.username.c_str(),
                options.password.empty() ? nullptr : options.password.c_str());
        }
        if (!options.tls.caFile.empty()) {
            const int rc = mosquitto_tls_set(
                mosq, options.tls.caFile.c_str(), nullptr,
                options.tls.certFile.empty() ? nullptr : options.tls.certFile.c_str(),
                options.tls.keyFile.empty() ? nullptr : options.tls.keyFile.c_str(), nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                throw std::invalid_argument(std::string("link: TLS files not usable: ") +
                                            mosquitto_strerror(rc));
            }
        }
        connectProperties.addInt32(
            MQTT_PROP_MAXIMUM_PACKET_SIZE,
            static_cast<uint32_t>(options.maxMessageBytes) + kPacketHeadroom);
    }

    // --- network thread ---

    void run() {
        Clock::time_point nextAttempt = Clock::now();
        bool socketUp = false;
        while (!stopping) {
            auto now = Clock::now();
            if (refused && socketUp) {
                mosquitto_disconnect_v5(client.get(), MQTT_RC_NORMAL_DISCONNECTION, nullptr);
                mosquitto_loop(client.get(), 0, 1);
                socketUp = false;
                markDisconnected();
            }
            if (!socketUp) {
                if (refused || now < nextAttempt) {
                    std::this_thread::sleep_for(
                        refused ? kLoopWait
                                : std::min<Clock::duration>(kLoopWait, nextAttempt - now));
                    expirePeers(Clock::now());
                    continue;
                }
                const int rc = mosquitto_connect_bind_v5(
                    client.get(), options.brokerHost.c_str(), options.brokerPort,
                    static_cast<int>(options.keepAlive.count()), nullptr, connectProperties.get());
                if (rc != MOSQ_ERR_SUCCESS) {
                    reportOutage(rc == MOSQ_ERR_ERRNO ? std::strerror(errno)
                                                      : mosquitto_strerror(rc));
                    nextAttempt = Clock::now() + backoff;
                    backoff = std::min(backoff * 2, options.reconnectMax);
                    continue;
                }
                socketUp = true;
            }
            const int rc = mosquitto_loop(client.get(), static_cast<int>(kLoopWait.count()), 1);
            if (rc != MOSQ_ERR_SUCCESS && !stopping) {
                socketUp = false;
                markDisconnected();
                reportOutage(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
                nextAttempt = Clock::now() + backoff;
                backoff = std::min(backoff * 2, options.reconnectMax);
            }
            now = Clock::now();
            if (isConnected() && now >= nextHeartbeat) {
                sendHeartbeat(now);
            }
            expirePeers(now);
        }
        if (socketUp) {
            leave();
        }
        markDisconnected();
    }

    // Tells the others that this machine leaves, so that they need not wait for the time-out, and
    // disconnects without the last will.
    void leave() {
        auto* mosq = client.get();
        if (isConnected() && !refused) {
            const std::string farewell = "offline " + heartbeatPayload;
            int mid = 0;
            if (mosquitto_publish_v5(mosq, &mid, statusTopic.c_str(),
                                     static_cast<int>(farewell.size()), farewell.data(), kQos, true,
                                     nullptr) == MOSQ_ERR_SUCCESS) {
                farewellMid = mid;
                const auto deadline = Clock::now() + 1s;
                while (!farewellAcknowledged && Clock::now() < deadline &&
                       mosquitto_loop(mosq, 20, 1) == MOSQ_ERR_SUCCESS) {
                }
            }
        }
        mosquitto_disconnect_v5(mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        mosquitto_loop(mosq, 0, 1);
    }

    void reportOutage(const std::string& reason) {
        if (outageReported) {
            return;
        }
        outageReported = true;
        TARN_LOG_WARN("link: broker {}:{} not reachable ({}); retrying with back-off up to {} ms",
                      options.brokerHost, options.brokerPort, reason, options.reconnectMax.count());
    }

    void onConnect(int rc) {
        if (rc != 0) {
            reportOutage(std::string("connection refused: ") + mosquitto_reason_string(rc));
            return;
        }
        pendingSubscriptions.clear();
        for (const auto& topic : topics::subscriptions(options.prefix, options.nodeId)) {
            int mid = 0;
            if (mosquitto_subscribe_v5(client.get(), &mid, topic.c_str(), kQos,
                                       MQTT_SUB_OPT_NO_LOCAL, nullptr) == MOSQ_ERR_SUCCESS) {
                pendingSubscriptions.push_back(mid);
            }
        }
    }

    void onSubscribed(int mid) {
        const auto found = std::find(pendingSubscriptions.begin(), pendingSubscriptions.end(), mid);
        if (found == pendingSubscriptions.end()) {
            return;
        }
        pendingSubscriptions.erase(found);
        if (pendingSubscriptions.empty()) {
            onReady();
        }
    }

    // Connected and subscribed: from here on this machine hears what the others publish.
    void onReady() {
        announce();
        sendHeartbeat(Clock::now());
        {
            std::lock_guard<std::mutex> lock(publishMutex);
            connected = true;
            connectedMirror = true;
            // Under the same lock as `connected`, so that nothing published meanwhile overtakes
            // what waited (it would make the older messages look stale).
            for (auto& pending : offline.takeAll()) {
                if (!send(pending)) {
                    enqueue(std::move(pending));
                }
            }
            queueFullReported = false;
        }
        connectedChanged.notify_all();
        {
            std::lock_guard<std::mutex> lock(countersMutex);
            counters.connected = true;
            ++counters.connects;
        }
        outageReported = false;
        backoff = options.reconnectMin;
        TARN_LOG_INFO("link: connected to broker {}:{} as {} under {}", options.brokerHost,
                      options.brokerPort, options.nodeId, options.prefix);
        const bool first = !roleAnnounced;
        roleAnnounced = true;
        delivery.post([this, first] {
            if (first) {
                owner.serverTypeChanged(options.role);
            }
            owner.resyncRequested();
        });
    }

    void markDisconnected() {
        {
            std::lock_guard<std::mutex> lock(publishMutex);
            connected = false;
            connectedMirror = false;
        }
        std::lock_guard<std::mutex> lock(countersMutex);
        counters.connected = false;
    }

    void announce() {
        const std::string status = "online " + heartbeatPayload;
        mosquitto_publish_v5(client.get(), nullptr, statusTopic.c_str(),
                             static_cast<int>(status.size()), status.data(), kQos, true, nullptr);
    }

    void sendHeartbeat(Clock::time_point now) {
        mosquitto_publish_v5(client.get(), nullptr, heartbeatTopic.c_str(),
                             static_cast<int>(heartbeatPayload.size()), heartbeatPayload.data(), 0,
                             false, nullptr);
        nextHeartbeat = now + options.heartbeat;
    }

    void onMessage(const mosquitto_message& message) {
        if (message.topic == nullptr || message.payloadlen < 0) {
            return;
        }
        const std::string payload(static_cast<const char*>(message.payload),
                                  static_cast<size_t>(message.payloadlen));
        const auto parsed = topics::parse(options.prefix, options.nodeId, message.topic);
        const auto now = Clock::now();
        switch (parsed.kind) {
            case topics::Parsed::kHeartbeat:
                if (const auto other = parseDecimal(payload)) {
                    if (parsed.name == options.nodeId) {
                        onOwnNodeIdSeen(*other);
                    } else if (auto event = presence.onHeartbeat(parsed.name, *other, now)) {
                        postPresence(*event);
                    }
                }
                return;
            case topics::Parsed::kStatus:
                if (const auto status = parseStatus(payload)) {
                    if (parsed.name == options.nodeId) {
                        // A newer run with our id overwrote our status; it leaves once it hears
                        // our heartbeat. An older one proves nothing: it may be left by a crash.
                        if (status->second > session) {
                            reannounce();
                        }
                    } else if (auto event =
                                   presence.onStatus(parsed.name, status->first, status->second)) {
                        postPresence(*event);
                    }
                }
                return;
            case topics::Parsed::kData:
                onData(parsed.name, payload);
                return;
            case topics::Parsed::kUnknown:
                return;
        }
    }

    void onData(const std::string& key, const std::string& bytes) {
        const auto unframed = unframeMessage(bytes);
        if (!unframed) {
            uint64_t count = 0;
            {
                std::lock_guard<std::mutex> lock(countersMutex);
                count = ++counters.malformed;
            }
            if ((count & (count - 1)) ==
                0) {  // the 1st, 2nd, 4th, ... so a flood cannot flood the log
                TARN_LOG_WARN("link: dropped a message on {} that is no link frame ({} so far)",
                              key, count);
            }
            return;
        }
        const Envelope* envelope = &unframed->envelope;
        if (envelope->origin == options.nodeId) {
            return;  // our own, from a broker that ignores no-local
        }
        const auto verdict =
            filter.check(envelope->origin, key, envelope->session, envelope->sequence);
        {
            std::lock_guard<std::mutex> lock(countersMutex);
            switch (verdict) {
                case SequenceFilter::Verdict::kDuplicate:
                    ++counters.duplicates;
                    return;
                case SequenceFilter::Verdict::kStale:
                    ++counters.stale;
                    return;
                case SequenceFilter::Verdict::kFresh:
                    ++counters.received;
                    ++counters.receivedByKey[key];
                    break;
            }
        }
        delivery.post([this, key, payload = std::string(unframed->payload),
                       origin = envelope->origin] { deliver(key, payload, origin); });
    }

    // Another process uses our node id. The older run keeps it; the newer one leaves the link.
    void onOwnNodeIdSeen(uint64_t otherSession) {
        if (otherSession == session || refused) {
            return;
        }
        if (otherSession > session) {
            reannounce();  // the newcomer overwrote our retained status; it will leave
            return;
        }
        refused = true;
        {
            std::lock_guard<std::mutex> lock(countersMutex);
            counters.refused = true;
        }
        TARN_LOG_ERROR(
            "link: node id {} is already in use by another machine under {}; this machine stays "
            "off the link",
            options.nodeId, options.prefix);
    }

    void reannounce() {
        if (!refused && isConnected()) {
            announce();
        }
    }

    void expirePeers(Clock::time_point now) {
        for (const auto& event : presence.expire(now)) {
            postPresence(event);
        }
    }

    void postPresence(const PresenceTracker::Event& event) {
        {
            std::lock_guard<std::mutex> lock(peersMutex);
            alivePeers = presence.alive();
        }
        TARN_LOG_INFO("link: machine {} {}", event.node, event.lost ? "lost" : "present");
        delivery.post([this, event] {
            owner.serverNodeInfoChanged(vantor::link::ServerNodeInfo{event.lost, event.node});
            if (!event.lost) {
                owner.resyncRequested();
            }
        });
    }

    // --- delivery thread ---

    void deliver(const std::string& key, const std::string& payload, const std::string& origin) {
        std::vector<vantor::link::LinkHandler> handlers;
        {
            std::lock_guard<std::mutex> lock(subscriptionsMutex);
            for (const auto& [id, subscription] : subscriptions) {
                if (subscription.first == key) {
                    handlers.push_back(subscription.second);
                }
            }
        }
        for (const auto& handler : handlers) {
            try {
                handler(payload, origin);
            } catch (const std::exception& error) {
                countHandlerError();
                TARN_LOG_ERROR("link: handler of {} failed: {}", key, error.what());
            } catch (...) {
                countHandlerError();
                TARN_LOG_ERROR("link: handler of {} failed with an unknown exception", key);
            }
        }
    }

    void countHandlerError() {
        std::lock_guard<std::mutex> lock(countersMutex);
        ++counters.handlerErrors;
    }

    // --- publishing (any thread) ---

    void publish(const vantor::link::LinkMessage& message) {
        if (!topics::isValidKey(message.key)) {
            TARN_LOG_WARN("link: refused to publish under the key \"{}\"", message.key);
            return;
        }
        if (message.payload.size() > options.maxMessageBytes) {
            {
                std::lock_guard<std::mutex> lock(countersMutex);
                ++counters.oversized;
            }
            TARN_LOG_WARN("link: refused a message of {} bytes on {} (limit {} bytes)",
                          message.payload.size(), message.key, options.maxMessageBytes);
            return;
        }
        std::vector<std::string> topicsToSend;
        if (message.targets.empty()) {
            topicsToSend.push_back(topics::data(options.prefix, message.key));
        }
        for (const auto& target : message.targets) {
            if (!topics::isValidNodeId(target)) {
                TARN_LOG_WARN("link: refused the target \"{}\" of {}", target, message.key);
            } else if (target != options.nodeId) {
                topicsToSend.push_back(topics::targeted(options.prefix, target, message.key));
            }
        }
        std::lock_guard<std::mutex> lock(publishMutex);
        if (refused) {
            return;
        }
        auto frame = frameMessage({options.nodeId, session, nextSequence++}, message.payload);
        for (auto& topic : topicsToSend) {
            Pending pending{std::move(topic), message.key, *frame};
            if (!connected || !send(pending)) {
                enqueue(std::move(pending));
            }
        }
    }

    // Under publishMutex. False when the broker is away and the message should wait.
    bool send(const Pending& pending) {
        const int rc = mosquitto_publish_v5(client.get(), nullptr, pending.topic.c_str(),
                                            static_cast<int>(pending.frame.size()),
                                            pending.frame.data(), kQos, false, nullptr);
        if (rc == MOSQ_ERR_NO_CONN) {
            return false;
        }
        std::lock_guard<std::mutex> lock(countersMutex);
        if (rc != MOSQ_ERR_SUCCESS) {
            ++counters.oversized;
            TARN_LOG_WARN("link: the broker client refused a message on {}: {}", pending.key,
                          mosquitto_strerror(rc));
            return true;
        }
        ++counters.published;
        ++counters.publishedByKey[pending.key];
        return true;
    }

    // Under publishMutex.
    void enqueue(Pending pending) {
        const bool held = offline.push(std::move(pending));
        std::lock_guard<std::mutex> lock(countersMutex);
        if (held) {
            ++counters.queued;
            return;
        }
        ++counters.queueDropped;
        if (!queueFullReported) {
            queueFullReported = true;
            TARN_LOG_WARN(
                "link: offline queue full ({} messages); dropping what is published "
                "until the broker is back",
                options.queueBound);
        }
    }

    // For the network thread, which must not wait behind publishers for it.
    bool isConnected() const { return connectedMirror; }

    MqttLinkMgr& owner;
    const MqttLinkOptions options;
    const uint64_t session;
    const std::string statusTopic;
    const std::string heartbeatTopic;
    const std::string heartbeatPayload;  // the session in decimal
    MosquittoHandle client;
    PropertyList connectProperties;
    DeliveryThread delivery;
    std::atomic<bool> stopping{false};
    std::atomic<bool> refused{false};

    std::mutex publishMutex;
    std::condition_variable connectedChanged;
    bool connected = false;                    // guarded by publishMutex
    std::atomic<bool> connectedMirror{false};  // `connected`, written under publishMutex
    uint64_t nextSequence = 1;                 // guarded by publishMutex
    BoundedQueue<Pending> offline;             // guarded by publishMutex
    bool queueFullReported = false;            // guarded by publishMutex

    std::mutex subscriptionsMutex;
    uint64_t nextSubscription = 1;  // guarded by subscriptionsMutex
    std::map<uint64_t, std::pair<std::string, vantor::link::LinkHandler>>
        subscriptions;  // guarded by subscriptionsMutex

    mutable std::mutex countersMutex;
    LinkCounters counters;  // guarded by countersMutex

    mutable std::mutex peersMutex;
    std::vector<std::string> alivePeers;  // guarded by peersMutex

    // Network thread only.
    SequenceFilter filter;
    PresenceTracker presence;
    std::chrono::milliseconds backoff = options.reconnectMin;
    Clock::time_point nextHeartbeat;
    bool outageReported = false;
    bool roleAnnounced = false;
    std::vector<int> pendingSubscriptions;
    int farewellMid = -1;
    bool farewellAcknowledged = false;

    std::thread network;  // last: starts after everything above exists
};

MqttLinkMgr::MqttLinkMgr(MqttLinkOptions options) {
    validate(options);
    impl_ = std::make_unique<Impl>(*this, std::move(options));
}

MqttLinkMgr::~MqttLinkMgr() {
    impl_->shutdown();
}

uint64_t MqttLinkMgr::subscribe(const std::string& key, const vantor::link::LinkHandler& handler) {
    std::lock_guard<std::mutex> lock(impl_->subscriptionsMutex);
    const uint64_t id = impl_->nextSubscription++;
    impl_->subscriptions.emplace(id, std::make_pair(key, handler));
    return id;
}

void MqttLinkMgr::publish(vantor::link::LinkMessage& message) {
    impl_->publish(message);
}

void MqttLinkMgr::unsubscribe(uint64_t subscription) {
    std::lock_guard<std::mutex> lock(impl_->subscriptionsMutex);
    impl_->subscriptions.erase(subscription);
}

bool MqttLinkMgr::waitConnected(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->publishMutex);
    return impl_->connectedChanged.wait_for(lock, timeout, [this] { return impl_->connected; });
}

void MqttLinkMgr::drain() {
    impl_->delivery.drain();
}

LinkCounters MqttLinkMgr::counters() const {
    std::lock_guard<std::mutex> lock(impl_->countersMutex);
    return impl_->counters;
}

std::vector<std::string> MqttLinkMgr::peers() const {
    std::lock_guard<std::mutex> lock(impl_->peersMutex);
    return impl_->alivePeers;
}

const MqttLinkOptions& MqttLinkMgr::options() const {
    return impl_->options;
}

}  // namespace host::link
