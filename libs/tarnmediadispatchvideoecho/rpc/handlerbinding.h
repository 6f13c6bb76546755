// Binds a runtime handler to a proxy's shared state without keeping it alive: a delivery that
// arrives after the last owner of the state is gone does nothing.
#pragma once

#include <memory>

#include <host/iqvruntime.h>

namespace tarn::mediadispatch::detail {

template <typename Impl, void (Impl::*Handler)(const char* data, unsigned size)>
vantor::RPCHandler bindHandler(const std::shared_ptr<Impl>& impl) {
    return [weak = std::weak_ptr<Impl>(impl)](const char*, const char* data, unsigned size) {
        if (auto state = weak.lock()) {
            (state.get()->*Handler)(data, size);
        }
    };
}

}  // namespace tarn::mediadispatch::detail
