// The host's media resource base: every resource that the host can place and play (including the
// echo media) derives from `Media`. Created with make_shared and shared; the identity fields are
// fixed at construction and may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <host/imediaplayer.h>
#include <host/iqvruntime.h>
#include <host/mediarecords.h>

namespace vantor::mediadispatch {

class IMedia {
public:
    virtual ~IMedia() = default;
    virtual int resType() = 0;
};

class Media : public IMedia, public std::enable_shared_from_this<Media> {
public:
    Media(uint64_t id, std::weak_ptr<qv::mediacore::IMeta> meta, EditingMode mode, bool flag);
    ~Media() override;
    Media(const Media&) = delete;
    Media& operator=(const Media&) = delete;

    std::weak_ptr<qv::mediacore::IMeta> meta() const { return meta_; }
    uint64_t id() const { return id_; }
    EditingMode editingMode() const { return mode_; }
    bool flag() const { return flag_; }
    IQVRuntime* runtime() const { return runtime_; }

    virtual bool init(IQVRuntime* runtime);
    virtual std::shared_ptr<qv::mediacore::IMediaPlayer> createPlayer(
        std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& source, void* device);
    int resType() override;
    virtual std::vector<STPlayerInfo> getPlayers(const std::string& key);
    virtual bool play(double time);
    virtual void stop();
    virtual void setBlack();

private:
    uint64_t id_;
    std::weak_ptr<qv::mediacore::IMeta> meta_;
    EditingMode mode_;
    bool flag_;
    IQVRuntime* runtime_ = nullptr;  // not owned; set by init before the host shares the media
};

}  // namespace vantor::mediadispatch
