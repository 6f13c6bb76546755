#include <host/imediamgr.h>

namespace vantor {

bool MediaMgr::addMediaResource(std::shared_ptr<mediadispatch::Media> media) {
    if (!media) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return resources_
        .emplace(std::make_pair(media->id(), static_cast<int32_t>(media->editingMode())), media)
        .second;
}

bool MediaMgr::removeMediaResource(uint64_t id, EditingMode mode) {
    std::shared_ptr<mediadispatch::Media> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = resources_.find({id, static_cast<int32_t>(mode)});
    if (it == resources_.end()) {
        return false;
    }
    removed = std::move(it->second);
    resources_.erase(it);
    return true;
}

std::shared_ptr<mediadispatch::Media> MediaMgr::find(uint64_t id, EditingMode mode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = resources_.find({id, static_cast<int32_t>(mode)});
    return it == resources_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<mediadispatch::Media>> MediaMgr::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<mediadispatch::Media>> result;
    result.reserve(resources_.size());
    for (const auto& entry : resources_) {
        result.push_back(entry.second);
    }
    return result;
}

size_t MediaMgr::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resources_.size();
}

}  // namespace vantor
