#include <host/inprocessruntime.h>

#include <algorithm>
#include <exception>

#include <host/log.h>

namespace host {

InProcessRuntime::InProcessRuntime(std::shared_ptr<InProcessNetwork> network, Role role)
    : network_(std::move(network)), role_(role) {
    std::lock_guard<std::recursive_mutex> lock(network_->mutex_);
    if (role_ == Role::Main) {
        network_->main_ = this;
    } else {
        network_->nodes_.push_back(this);
    }
}

InProcessRuntime::InProcessRuntime(Role role)
    : InProcessRuntime(std::make_shared<InProcessNetwork>(), role) {}

InProcessRuntime::~InProcessRuntime() {
    std::lock_guard<std::recursive_mutex> lock(network_->mutex_);
    if (network_->main_ == this) {
        network_->main_ = nullptr;
    }
    auto& nodes = network_->nodes_;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), this), nodes.end());
}

void InProcessRuntime::postTask(const std::function<void()>& task, const char*, int, const char*) {
    tasks_.post(task);
}

void InProcessRuntime::registerHandler(const char* name, vantor::RPCHandler handler) {
    if (name == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[name] = std::move(handler);
}

void InProcessRuntime::unregisterHandler(const char* name) {
    if (name == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.erase(name);
}

void InProcessRuntime::publish(const char* name, const char* data, unsigned size) {
    if (name == nullptr || (data == nullptr && size != 0)) {
        return;
    }
    const std::string payload(data == nullptr ? "" : std::string(data, size));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        published_.push_back({name, payload});
    }
    if (role_ != Role::Main) {
        return;  // only the main machine publishes to the others
    }
    // Held through the deliveries so that no node leaves while it is being called.
    std::lock_guard<std::recursive_mutex> lock(network_->mutex_);
    const std::vector<InProcessRuntime*> nodes = network_->nodes_;
    for (auto* node : nodes) {
        const std::string error = node->deliver(name, payload);
        if (!error.empty()) {
            TARN_LOG_WARN("publish {} to a node failed: {}", name, error);
        }
    }
}

std::string InProcessRuntime::call(const std::string& name, const std::string& payload) {
    std::lock_guard<std::recursive_mutex> lock(network_->mutex_);
    if (network_->main_ == nullptr) {
        return "no main machine";
    }
    return network_->main_->deliver(name, payload);
}

std::string InProcessRuntime::deliver(const std::string& name, const std::string& payload) {
    vantor::RPCHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handlers_.find(name);
        if (it == handlers_.end()) {
            return "unknown function: " + name;
        }
        handler = it->second;
    }
    try {
        handler(name.c_str(), payload.data(), static_cast<unsigned>(payload.size()));
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown exception";
    }
    return {};
}

bool InProcessRuntime::hasHandler(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handlers_.count(name) != 0;
}

void InProcessRuntime::drainTasks() {
    tasks_.drain();
}

std::vector<InProcessRuntime::Publication> InProcessRuntime::publications() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

}  // namespace host
