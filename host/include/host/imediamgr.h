// The host's media manager: the registry of media resources that the host can place and play.
// `MediaMgr` is the host layer's working implementation; all its operations are thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <host/media.h>

namespace vantor {

class IMediaMgr {
public:
    virtual ~IMediaMgr() = default;
    virtual bool addMediaResource(std::shared_ptr<mediadispatch::Media> media) = 0;
    virtual bool removeMediaResource(uint64_t id, EditingMode mode) = 0;
};

class MediaMgr : public IMediaMgr {
public:
    // Refuses a null media and a second media with the same id and mode.
    bool addMediaResource(std::shared_ptr<mediadispatch::Media> media) override;
    bool removeMediaResource(uint64_t id, EditingMode mode) override;

    std::shared_ptr<mediadispatch::Media> find(uint64_t id, EditingMode mode) const;
    std::vector<std::shared_ptr<mediadispatch::Media>> all() const;
    size_t size() const;

private:
    mutable std::mutex mutex_;
    // guarded by mutex_
    std::map<std::pair<uint64_t, int32_t>, std::shared_ptr<mediadispatch::Media>> resources_;
};

}  // namespace vantor
