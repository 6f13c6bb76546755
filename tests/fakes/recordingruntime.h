// A runtime that keeps the handlers the proxies register and the publications they make, and lets
// a test deliver payloads to the handlers. Single-threaded use.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <host/iqvruntime.h>

namespace tarn::mediadispatch::testing {

class RecordingRuntime : public vantor::IQVRuntime {
public:
    void postTask(const std::function<void()>& task, const char*, int, const char*) override {
        task();
    }
    void registerHandler(const char* name, vantor::RPCHandler handler) override {
        handlers[name] = std::move(handler);
    }
    void unregisterHandler(const char* name) override { handlers.erase(name); }
    // Recorded as "name payload".
    void publish(const char* name, const char* data, unsigned size) override {
        publications.push_back(name + (" " + std::string(data, size)));
    }
    // Calls the handler of `name` as the runtime would; throws what the handler throws.
    void deliver(const std::string& name, const std::string& payload) {
        handlers.at(name)(name.c_str(), payload.data(), static_cast<unsigned>(payload.size()));
    }

    std::map<std::string, vantor::RPCHandler> handlers;
    std::vector<std::string> publications;
};

}  // namespace tarn::mediadispatch::testing
