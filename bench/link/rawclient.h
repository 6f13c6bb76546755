// The baseline of the link benchmark: the least a libmosquitto program does to publish and
// receive at QoS 1 (its own network thread, a callback per message). One owner thread; the
// callback runs on the client's network thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct mosquitto;

namespace linkbench {

class RawClient {
public:
    using Callback = std::function<void(const std::string& topic, const std::string& payload)>;

    RawClient(const std::string& id, const std::string& user, const std::string& password,
              std::uint16_t port, Callback callback);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void subscribe(const std::string& topic);
    void publish(const std::string& topic, const std::string& payload);

private:
    struct mosquitto* mosq_ = nullptr;
    Callback callback_;
    bool connected_ = false;
};

}  // namespace linkbench
