// The host's dispatch interface: a dispatch plug-in receives the host's media, frames and mode
// changes, and carries the signals through which dispatches tell listeners what happens to their
// media. Signals are thread-safe; the operations' default bodies do nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <host/iframe.h>
#include <host/imediamgr.h>
#include <host/mediarecords.h>
#include <host/signal.h>

namespace tarn::mediadispatch {

using vantor::EditingMode;

class IDispatch {
public:
    // The signals, in the host's declaration order (the comment gives the position).
    host::Signal<EditingMode> editingModeChanged;                              // 1
    host::Signal<bool, bool> readyChanged;                                     // 2
    host::Signal<uint64_t> layoutChanged;                                      // 3
    host::Signal<const STMediaSeekInfoList&> mediaSeeked;                      // 4
    host::Signal<float, float> resolutionChanged;                              // 5
    host::Signal<STMediaEffectInfo&> mediaEffectRequested;                     // 6
    host::Signal<DispatchType, uint64_t, bool, EditingMode> dispatchEnabled;   // 7
    host::Signal<DispatchType, uint64_t, const std::string&> dispatchRenamed;  // 8
    host::Signal<DispatchType, uint64_t> dispatchRemoved;                      // 9
    host::Signal<const std::vector<uint64_t>&, uint64_t, const std::string&, const std::string&>
        mediasGrouped;  // 10
    host::Signal<const std::vector<uint64_t>&, uint64_t, const std::string&, uint64_t>
        mediasMoved;  // 11
    host::Signal<const std::vector<uint64_t>&, const std::vector<uint64_t>&, bool>
        mediasLinked;                                                                      // 12
    host::Signal<const std::vector<uint64_t>&, bool> mediasSelected;                       // 13
    host::Signal<uint64_t, const std::string&> mediaRenamed;                               // 14
    host::Signal<const std::vector<MediaInfo>&> mediasAdded;                               // 15
    host::Signal<uint64_t, EditingMode> mediaPrepared;                                     // 16
    host::Signal<uint64_t, uint64_t, EditingMode> mediaRemoved;                            // 17
    host::Signal<uint64_t, uint64_t> mediaReplaced;                                        // 18
    host::Signal<uint64_t, uint64_t, EditingMode> mediaBlack;                              // 19
    host::Signal<const STMediaPlayStateInfo&> mediaPlayStateChanged;                       // 20
    host::Signal<const STMediaPlayProgressInfo&> mediaPlayProgress;                        // 21
    host::Signal<uint64_t, uint64_t, uint64_t, bool, EditingMode, int> mediaLayerChanged;  // 22
    host::Signal<const std::vector<MediaInfo>&> mediasUpdated;                             // 23
    host::Signal<uint64_t, EditingMode, bool> mediaAudioEnabled;                           // 24
    host::Signal<uint64_t, EditingMode, bool> videoEchoSendFrameEnabled;                   // 25
    host::Signal<const STDispatchMediaFadeInfo&> mediaFade;                                // 26
    host::Signal<DispatchPlayState, EditingMode> dispatchPlayStateChanged;                 // 27
    host::Signal<EditingMode> editingModeSwitched;                                         // 28
    host::Signal<bool, bool> syncChanged;                                                  // 29
    host::Signal<uint64_t> mediaLoaded;                                                    // 30
    host::Signal<uint64_t, const std::vector<std::pair<uint64_t, ColorProperty>>&,
                 const EditingMode&>
        mediaColorChanged;  // 31
    host::Signal<uint64_t, const std::vector<uint64_t>&, const BorderProperty&, const EditingMode&>
        mediaBorderChanged;  // 32
    host::Signal<uint64_t, const std::vector<uint64_t>&, const PickProperty&, const EditingMode&>
        mediaPickChanged;  // 33
    host::Signal<uint64_t, const std::vector<uint64_t>&, const EffectType&, const EffectProperty&,
                 const EditingMode&>
        mediaEffectChanged;                                                                // 34
    host::Signal<std::vector<STMediaEffectInfo>> mediaEffectsChanged;                      // 35
    host::Signal<uint64_t, uint64_t, EditingMode> mediaMuted;                              // 36
    host::Signal<uint64_t, bool, EditingMode> mediaLoopChanged;                            // 37
    host::Signal<uint64_t, bool, EditingMode> mediaVisibleChanged;                         // 38
    host::Signal<uint64_t, uint64_t, EditingMode> mediaFrozen;                             // 39
    host::Signal<uint64_t, uint64_t, const std::string&, EditingMode> mediaSourceChanged;  // 40
    host::Signal<uint64_t, uint64_t, const std::string&> mediaTagged;                      // 41
    host::Signal<uint64_t, const std::string&> mediaNoted;                                 // 42
    host::Signal<uint64_t, uint64_t, bool, EditingMode> mediaLocked;                       // 43
    host::Signal<> dispatchStarted;                                                        // 44
    host::Signal<bool> dispatchBusy;                                                       // 45
    host::Signal<> dispatchStopped;                                                        // 46
    host::Signal<uint64_t> cardRemoved;                                                    // 47
    host::Signal<uint64_t, uint64_t> cardsSwapped;                                         // 48
    host::Signal<> layoutCleared;                                                          // 49
    host::Signal<uint64_t, uint64_t, EditingMode> mediaUnblack;                            // 50
    host::Signal<const LayoutStartFadeParam&> layoutFadeStarted;                           // 51
    host::Signal<uint64_t> layoutFinished;                                                 // 52

    IDispatch();
    virtual ~IDispatch();  // 0
    IDispatch(const IDispatch&) = delete;
    IDispatch& operator=(const IDispatch&) = delete;

    // The operations, with the position of each in the virtual table.
    virtual void init() {}    // 1
    virtual void uninit() {}  // 2
    virtual void start() {}   // 3
    virtual void stop() {}    // 4
    virtual void setDisplayCards(const std::vector<vantor::mediadispatch::STDisplayCardInfo>&) {
    }                                                                                // 5
    virtual void setLayout(uint64_t) {}                                              // 6
    virtual std::vector<MediaInfo> getMedias() { return {}; }                        // 7
    virtual std::pair<uint64_t, uint64_t> getPlayRange(uint64_t) { return {}; }      // 8
    virtual std::vector<MediaInfo> getPlayingMedias(EditingMode) { return {}; }      // 9
    virtual void addMedias(const std::vector<MediaInfo>&) {}                         // 10
    virtual void removeMedia(uint64_t, uint64_t, EditingMode) {}                     // 11
    virtual void setMediaMeta(std::weak_ptr<qv::mediacore::IMeta>) {}                // 12
    virtual void setParentDispatch(std::weak_ptr<IDispatch>) {}                      // 13
    virtual void playMedia(uint64_t, EditingMode) {}                                 // 14
    virtual void stopMedia(uint64_t, EditingMode) {}                                 // 15
    virtual int mediaCount() { return 0; }                                           // 16
    virtual void pauseMedia(uint64_t, EditingMode) {}                                // 17
    virtual bool isPlaying(uint64_t, EditingMode) { return false; }                  // 18
    virtual void resumeMedia(uint64_t, EditingMode) {}                               // 19
    virtual void seekMedia(uint64_t, double) {}                                      // 20
    virtual void setMediaMgr(vantor::IMediaMgr*) {}                                  // 21
    virtual void setVolume(uint64_t, float) {}                                       // 22
    virtual void setMute(uint64_t, bool) {}                                          // 23
    virtual void setMediaBlack(uint64_t, EditingMode) {}                             // 24
    virtual void setEffect(uint64_t, const STMediaEffectInfo&) {}                    // 25
    virtual void clearEffects(uint64_t) {}                                           // 26
    virtual void setColor(uint64_t, const ColorProperty&) {}                         // 27
    virtual void setBorder(uint64_t, const BorderProperty&) {}                       // 28
    virtual std::vector<MediaInfo> getMediasOfCard(uint64_t) { return {}; }          // 29
    virtual void setPick(uint64_t, const PickProperty&) {}                           // 30
    virtual void startFade(const STDispatchMediaFadeInfo&) {}                        // 31
    virtual void setEditingMode(EditingMode, bool) {}                                // 32
    virtual EditingMode editingMode() const { return vantor::kEditingModeDefault; }  // 33
    virtual void switchMode(EditingMode) {}                                          // 34
    virtual void setLayoutFade(const LayoutStartFadeParam&) {}                       // 35
    virtual bool isReady() { return false; }                                         // 36
    virtual int playState(uint64_t, EditingMode) { return 0; }                       // 37
    virtual void refresh() {}                                                        // 38
    virtual int64_t currentLayoutId() { return -1; }                                 // 39
    virtual void setSyncEnabled(bool) {}                                             // 40
    virtual bool isSyncEnabled() { return false; }                                   // 41
    virtual void lockLayout() {}                                                     // 42
    virtual void unlockLayout() {}                                                   // 43
    virtual void preload(uint64_t) {}                                                // 44
    virtual void unload(uint64_t) {}                                                 // 45
    virtual void setLoop(uint64_t, bool) {}                                          // 46
    virtual void setRate(uint64_t, float) {}                                         // 47
    virtual std::string name() const { return {}; }                                  // 48
    virtual void setName(const std::string&) {}                                      // 49
    virtual void setPriority(int) {}                                                 // 50
    virtual void flush() {}                                                          // 51
    virtual void reset() {}                                                          // 52
    virtual void shutdown() {}                                                       // 53
    virtual bool isEchoDispatch() { return false; }                                  // 54
};

}  // namespace tarn::mediadispatch
