#include "mosquittohandle.h"

#include <mutex>

#include <mqtt_protocol.h>

namespace host::link {

namespace {

void initialiseLibrary() {
    // libmosquitto's set-up is process-wide and not thread-safe; it is never undone, since other
    // clients of the process may still use the library at exit.
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MosquittoHandle::MosquittoHandle(const std::string& clientId, void* userData) {
    initialiseLibrary();
    handle_.reset(mosquitto_new(clientId.c_str(), true, userData));
    if (handle_) {
        mosquitto_int_option(handle_.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_threaded_set(handle_.get(), true);
        // Link messages are small and latency matters more than packet count.
        mosquitto_int_option(handle_.get(), MOSQ_OPT_TCP_NODELAY, 1);
    }
}

bool PropertyList::addInt32(int identifier, uint32_t value) {
    return mosquitto_property_add_int32(&list_, identifier, value) == MOSQ_ERR_SUCCESS;
}

}  // namespace host::link
