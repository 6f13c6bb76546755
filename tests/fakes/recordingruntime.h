// A runtime that records every call the proxies make on it, in order, and lets a test deliver
// payloads to the registered handlers. Single-threaded use.
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
        calls.push_back(std::string("register ") + name);
        handlers[name] = std::move(handler);
    }
    void unregisterHandler(const char* name) override {
        calls.push_back(std::string("unregister ") + name);
        handlers.erase(name);
    }
    // Recorded as "name payload".
    void publish(const char* name, const char* data, unsigned size) override {
        publications.push_back(name + (" " + std::string(data, size)));
    }
    // Calls the handler of `name` as the runtime would; throws what the handler throws.
    void deliver(const std::string& name, const std::string& payload) {
        handlers.at(name)(name.c_str(), payload.data(), static_cast<unsigned>(payload.size()));
    }

    std::vector<std::string> calls;
    std::map<std::string, vantor::RPCHandler> handlers;
    std::vector<std::string> publications;
};

}  // namespace tarn::mediadispatch::testing
