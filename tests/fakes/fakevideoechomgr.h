// A hand-written echo manager for the tests of the inter-machine channels: it records the calls of
// the registry operations in order and answers the queries with lists the test sets. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

#include "payloads.h"

namespace tarn::mediadispatch::testing {

class FakeVideoEchoMgr : public IVideoEchoMgr {
public:
    // A call as recorded: the method name, then the encoded argument if there is one.
    template <typename T>
    static std::string call(const std::string& name, const T& argument) {
        return name + " " + argumentOf(argument);
    }
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::vector<std::string> callNames() const {
        std::vector<std::string> names;
        for (const auto& call : calls()) {
            names.push_back(call.substr(0, call.find(' ')));
        }
        return names;
    }
    void setAddrs(std::vector<VideoEchoAddr> addrs) {
        std::lock_guard<std::mutex> lock(mutex_);
        addrs_ = std::move(addrs);
    }
    void setStrategies(std::vector<VideoEchoSpliceStrategy> strategies) {
        std::lock_guard<std::mutex> lock(mutex_);
        strategies_ = std::move(strategies);
    }

    void addEcho(const VideoEchoAddr& a) override { record(call("addEcho", a)); }
    void AddMedia(const VideoEchoAddr& a) override { record(call("AddMedia", a)); }
    void setVideoEchoAddr(const VideoEchoAddr& a) override { record(call("setVideoEchoAddr", a)); }
    void updateSpliceStrategy(const VideoEchoSpliceStrategy& s) override {
        record(call("updateSpliceStrategy", s));
    }
    void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy& s) override {
        record(call("setVideoEchoSpliceStrategy", s));
    }
    void setVideoEchoSpliceStrategies(const std::vector<VideoEchoSpliceStrategy>& v) override {
        record(call("setVideoEchoSpliceStrategies", v));
    }
    std::vector<VideoEchoAddr> getLocalAllVideoEchoAddr() override {
        return record("getLocalAllVideoEchoAddr", addrs_);
    }
    std::vector<VideoEchoAddr> getAllVideoEchoAddr() override {
        return record("getAllVideoEchoAddr", addrs_);
    }
    std::vector<VideoEchoSpliceStrategy> getLocalEchoSpliceStrategies() override {
        return record("getLocalEchoSpliceStrategies", strategies_);
    }
    std::vector<VideoEchoSpliceStrategy> getAllEchoSpliceStrategies() override {
        return record("getAllEchoSpliceStrategies", strategies_);
    }
    std::vector<EchoInfo> getAllEchoInfo() override {
        record("getAllEchoInfo");
        return {};
    }

    // Not used by the inter-machine channels.
    void addDispatch(std::weak_ptr<IDispatch>) override {}
    void removeDispatch() override {}
    void setMediaMgr(vantor::IMediaMgr*) override {}
    void addEcho(const STDisplayCardId&, void*) override {}
    void setSplicingRegionsCallBack(const SplicingRegionsCallBack&) override {}
    void setVideoEchoSourceCallBack(const VideoEchoSourceCallBack&) override {}
    std::string getVideoEchoUrl(const STDisplayCardId&) override { return {}; }
    void setVideoEchoId(const STDisplayCardId&) override {}
    void setVideoEchoResolution(float, float) override {}
    void setVideoEchoTransmissionMode(bool) override {}
    void setVideoEchoFPS(float) override {}
    void setVideoEchoBitRate(float) override {}
    void setVideoEchoServerEnabled(bool) override {}
    void updateFrameData(const MediaInfo&, const qv::mediacore::IFrame*) override {}
    void setCreateMetaCallBack(const CreateMetaCallBack&) override {}
    void setBoundDisplayCardsQueryCallback(const BoundDisplayCardsQueryCallback&) override {}
    void setDisplayCardsQueryCallback(const DisplayCardsQueryCallback&) override {}
    void setDeviceQueryCallback(const DeviceQueryCallback&) override {}
    bool startVideoEchoServer() override { return false; }
    bool stopVideoEchoServer() override { return false; }
    bool createRecordVideo(const STDisplayCardId&) override { return false; }
    void onDeviceReady(const STDisplayCardInfo&) override {}
    void setEditingMode(EditingMode, bool) override {}

private:
    // Records `call`; returns a copy of `answer` taken under the same lock.
    template <typename T = int>
    T record(const std::string& call, const T& answer = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        return answer;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;                   // guarded by mutex_
    std::vector<VideoEchoAddr> addrs_;                 // guarded by mutex_
    std::vector<VideoEchoSpliceStrategy> strategies_;  // guarded by mutex_
};

}  // namespace tarn::mediadispatch::testing
