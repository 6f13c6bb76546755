#include <host/media.h>

namespace vantor::mediadispatch {

Media::Media(uint64_t id, std::weak_ptr<qv::mediacore::IMeta> meta, EditingMode mode, bool flag)
    : id_(id), meta_(std::move(meta)), mode_(mode), flag_(flag) {}

Media::~Media() = default;

bool Media::init(IQVRuntime* runtime) {
    runtime_ = runtime;
    return true;
}

std::shared_ptr<qv::mediacore::IMediaPlayer> Media::createPlayer(
    std::shared_ptr<qv::mediacore::IMeta>, const std::string&, void*) {
    return nullptr;
}

int Media::resType() {
    return 0;
}

std::vector<STPlayerInfo> Media::getPlayers(const std::string&) {
    return {};
}

bool Media::play(double) {
    return false;
}

void Media::stop() {}

void Media::setBlack() {}

}  // namespace vantor::mediadispatch
