#include "viewerprocess.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <host/imediamgr.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "echotestsupport.h"
#include "standindispatch.h"

namespace echotest {

namespace {

using Clock = std::chrono::steady_clock;
using vantor::mediadispatch::EchoMedia;

class Viewer {
public:
    Viewer(uint64_t mediaId, vantor::EditingMode mode) : mediaId_(mediaId), mode_(mode) {
        mgr_->setVideoEchoServerEnabled(false);
        plugin_->setVideoEchoMgr(mgr_);
        plugin_->setMediaMgr(&media_);
        mgr_->addDispatch(dispatch_);
        vantor::mediadispatch::STDisplayCardInfo card;
        card.nodeId = "viewer-node";
        card.deviceId = "card-0";
        card.device = &device_;
        mgr_->onDeviceReady(card);
    }

    std::string start() {
        dispatch_->announce(mediaId_, mode_);
        dispatch_->playing(mediaId_, mode_);
        if (media_.size() != 1) {
            return "fail expected one registered echo media, got " + std::to_string(media_.size());
        }
        echo_ = std::dynamic_pointer_cast<EchoMedia>(media_.all()[0]);
        if (!echo_) {
            return "fail the registered media is not an echo media";
        }
        const auto players = echo_->getPlayers("card-0");
        if (players.size() != 1 || !players[0].mediaPlayer.lock()) {
            return "fail the echo media has no player for card-0";
        }
        player_ = players[0].mediaPlayer.lock();
        if (player_->getPlayState() != qv::mediacore::kPlayerStatePlaying) {
            return "fail the play notification did not reach the player";
        }
        return "ok";
    }

    std::string handle(const std::string& line) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "expect" || command == "hold") {
            uint32_t seed = 0;
            int width = 0;
            int height = 0;
            in >> seed >> width >> height;
            const auto expected = PatternFrame::pattern(size_t(width) * height * 4, seed);
            return command == "expect" ? expectFrame(expected, width, height)
                                       : holdFrame(expected, width, height);
        }
        if (command == "none") {
            const auto until = Clock::now() + std::chrono::milliseconds(200);
            while (Clock::now() < until) {
                if (player_->getFrame(0.0) != nullptr) {
                    return "fail a frame without a source";
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return "ok";
        }
        if (command == "disable") {
            dispatch_->frameEnabled(mediaId_, mode_, false);
            return player_->getFrame(0.0) == nullptr ? "ok" : "fail frames still delivered";
        }
        if (command == "enable") {
            dispatch_->frameEnabled(mediaId_, mode_, true);
            return "ok";
        }
        if (command == "black") {
            dispatch_->black(mediaId_, mode_);
            const bool first = echo_->getPlayers("")[0].isBlack;
            const bool second = echo_->getPlayers("")[0].isBlack;
            return first && !second ? "ok" : "fail black request not reported exactly once";
        }
        if (command == "stop") {
            dispatch_->stopped(mediaId_, mode_);
            if (player_->getPlayState() != qv::mediacore::kPlayerStateStopped) {
                return "fail player not stopped";
            }
            return player_->getFrame(0.0) == nullptr ? "ok" : "fail stopped player gives frames";
        }
        if (command == "play") {
            dispatch_->playing(mediaId_, mode_);
            return player_->getPlayState() == qv::mediacore::kPlayerStatePlaying
                       ? "ok"
                       : "fail player not playing";
        }
        if (command == "remove") {
            const uint64_t echoId = echo_->id();
            echo_.reset();
            player_.reset();
            dispatch_->removed(mediaId_, mode_);
            if (media_.size() != 0 || media_.find(echoId, mode_) != nullptr) {
                return "fail echo media still registered";
            }
            return "ok";
        }
        return "fail unknown command " + command;
    }

private:
    std::string expectFrame(const std::vector<uint8_t>& expected, int width, int height) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            if (frameEquals(player_->getFrame(0.0), width, height, expected)) {
                return "ok";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return "fail frame not seen within 5 s";
    }
    std::string holdFrame(const std::vector<uint8_t>& expected, int width, int height) {
        const auto until = Clock::now() + std::chrono::milliseconds(200);
        while (Clock::now() < until) {
            if (!frameEquals(player_->getFrame(0.0), width, height, expected)) {
                return "fail the channel changed";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "ok";
    }

    const uint64_t mediaId_;
    const vantor::EditingMode mode_;
    int device_ = 0;
    vantor::MediaMgr media_;
    std::shared_ptr<tarn::mediadispatch::VideoEchoMgr> mgr_ =
        std::make_shared<tarn::mediadispatch::VideoEchoMgr>();
    std::shared_ptr<tarn::mediadispatch::VideoEchoDispatch> plugin_ =
        std::make_shared<tarn::mediadispatch::VideoEchoDispatch>();
    std::shared_ptr<StandInDispatch> dispatch_ = std::make_shared<StandInDispatch>();
    std::shared_ptr<EchoMedia> echo_;
    std::shared_ptr<qv::mediacore::IMediaPlayer> player_;
};

}  // namespace

int runViewer(uint64_t mediaId, int mode) {
    Viewer viewer(mediaId, static_cast<vantor::EditingMode>(mode));
    const std::string started = viewer.start();
    std::cout << started << std::endl;
    if (started != "ok") {
        return 2;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "quit") {
            return 0;
        }
        std::cout << viewer.handle(line) << std::endl;
    }
    return 3;  // the source went away without saying goodbye
}

}  // namespace echotest
