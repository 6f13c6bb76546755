#include "rawclient.h"

#include <mosquitto.h>

namespace linkbench {

RawClient::RawClient(const std::string& id, const std::string& user, const std::string& password,
                     std::uint16_t port, Callback callback)
    : callback_(std::move(callback)) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (mosq_ == nullptr) {
        return;
    }
    mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
    // The link's protocol and socket settings, so that the comparison is of the layers above.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(mosq_, [](struct mosquitto*, void* self,
                                             const mosquitto_message* message) {
        auto* client = static_cast<RawClient*>(self);
        client->callback_(message->topic, std::string(static_cast<const char*>(message->payload),
                                                      static_cast<size_t>(message->payloadlen)));
    });
    connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS &&
                 mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
}

RawClient::~RawClient() {
    if (mosq_ != nullptr) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
}

void RawClient::subscribe(const std::string& topic) {
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1);
}

void RawClient::publish(const std::string& topic, const std::string& payload) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, false);
}

}  // namespace linkbench
