// RAII owners of libmosquitto objects: the client handle (with the library's one-time set-up) and a
// property list. Move-only; the client handle is used by one manager.
#pragma once

#include <memory>
#include <string>

#include <mosquitto.h>

namespace host::link {

class MosquittoHandle {
public:
    // A clean-session MQTT 5 client with `clientId`, without Nagle's delay, safe to publish into
    // from other threads while one thread runs its loop. Null get() when libmosquitto could not
    // create it.
    explicit MosquittoHandle(const std::string& clientId, void* userData);
    struct mosquitto* get() const {
        return handle_.get();
    }

private:
    struct Destroy {
        void operator()(struct mosquitto* mosq) const { mosquitto_destroy(mosq); }
    };
    std::unique_ptr<struct mosquitto, Destroy> handle_;
};

class PropertyList {
public:
    PropertyList() = default;
    ~PropertyList() { mosquitto_property_free_all(&list_); }
    PropertyList(PropertyList&& other) noexcept : list_(other.list_) { other.list_ = nullptr; }
    PropertyList& operator=(PropertyList&&) = delete;
    PropertyList(const PropertyList&) = delete;
    PropertyList& operator=(const PropertyList&) = delete;

    bool addInt32(int identifier, uint32_t value);
    const mosquitto_property* get() const { return list_; }

private:
    mosquitto_property* list_ = nullptr;
};

}  // namespace host::link
