// A dispatch of the host, as far as the echo library sees it: it signals media added, play states,
// black, frame delivery and removal for the media it dispatches.
#pragma once

#include <cstdint>
#include <vector>

#include <host/idispatch.h>

#include "echotestsupport.h"

namespace echotest {

class StandInDispatch : public tarn::mediadispatch::IDispatch {
public:
    void announce(uint64_t mediaId, vantor::EditingMode mode) {
        mediasAdded(std::vector<tarn::MediaInfo>{echotest::mediaInfo(mediaId, mode)});
    }
    void playing(uint64_t mediaId, vantor::EditingMode mode) {
        mediaPlayStateChanged(echotest::playState(mediaId, mode, 1));
    }
    void stopped(uint64_t mediaId, vantor::EditingMode mode) {
        mediaPlayStateChanged(echotest::playState(mediaId, mode, 0));
    }
    void black(uint64_t mediaId, vantor::EditingMode mode) { mediaBlack(1, mediaId, mode); }
    void frameEnabled(uint64_t mediaId, vantor::EditingMode mode, bool enabled) {
        videoEchoSendFrameEnabled(mediaId, mode, enabled);
    }
    void removed(uint64_t mediaId, vantor::EditingMode mode) { mediaRemoved(1, mediaId, mode); }
};

}  // namespace echotest
