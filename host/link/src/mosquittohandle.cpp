#include "mosquittohandle.h"

#include <cstdlib>
#include <mutex>

#include <mqtt_protocol.h>

namespace host::link {

namespace {

constexpr const char* kOrigin = "o";
constexpr const char* kSession = "e";
constexpr const char* kSequence = "s";

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
    }
}

bool PropertyList::addStringPair(const char* name, const std::string& value) {
    return mosquitto_property_add_string_pair(&list_, MQTT_PROP_USER_PROPERTY, name,
                                              value.c_str()) == MOSQ_ERR_SUCCESS;
}

bool PropertyList::addInt32(int identifier, uint32_t value) {
    return mosquitto_property_add_int32(&list_, identifier, value) == MOSQ_ERR_SUCCESS;
}

PropertyList envelopeProperties(const Envelope& envelope) {
    PropertyList list;
    list.addStringPair(kOrigin, envelope.origin);
    list.addStringPair(kSession, std::to_string(envelope.session));
    list.addStringPair(kSequence, std::to_string(envelope.sequence));
    return list;
}

std::optional<uint64_t> parseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<Envelope> readEnvelope(const mosquitto_property* properties) {
    std::optional<std::string> origin;
    std::optional<std::string> session;
    std::optional<std::string> sequence;
    bool repeated = false;
    bool first = true;
    for (const mosquitto_property* at = properties;;) {
        char* name = nullptr;
        char* value = nullptr;
        at =
            mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value, !first);
        first = false;
        if (at == nullptr) {
            break;
        }
        const std::string key = name ? name : "";
        std::optional<std::string>* slot = key == kOrigin     ? &origin
                                           : key == kSession  ? &session
                                           : key == kSequence ? &sequence
                                                              : nullptr;
        if (slot != nullptr) {
            repeated = repeated || slot->has_value();
            *slot = value ? value : "";
        }
        std::free(name);
        std::free(value);
    }
    if (repeated || !origin || origin->empty() || !session || !sequence) {
        return std::nullopt;
    }
    const auto sessionNumber = parseDecimal(*session);
    const auto sequenceNumber = parseDecimal(*sequence);
    if (!sessionNumber || !sequenceNumber) {
        return std::nullopt;
    }
    return Envelope{*origin, *sessionNumber, *sequenceNumber};
}

}  // namespace host::link
