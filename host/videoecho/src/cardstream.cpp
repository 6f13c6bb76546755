#include "cardstream.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <host/log.h>

#include "composer.h"
#include "rtspserver.h"

namespace tarn::mediadispatch {

namespace {

bool plainElementName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        if (!g_ascii_isalnum(c) && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

int keyFrameInterval(const CardConfig& config) {
    return std::max(1, static_cast<int>(config.fps * 2));
}

std::string encoderLaunch(const CardConfig& config) {
    const std::string name = plainElementName(config.encoder) ? config.encoder : "x264enc";
    if (name == "x264enc") {
        return "x264enc name=enc speed-preset=ultrafast tune=zerolatency bitrate=" +
               std::to_string(std::max(1, config.bitRate / 1000)) +
               " key-int-max=" + std::to_string(keyFrameInterval(config));
    }
    if (name == "openh264enc") {
        return "openh264enc name=enc complexity=low rate-control=bitrate bitrate=" +
               std::to_string(config.bitRate) +
               " gop-size=" + std::to_string(keyFrameInterval(config));
    }
    return name + " name=enc";
}

std::string launchLine(const CardConfig& config) {
    return "( appsrc name=src is-live=true format=time leaky-type=downstream "
           "max-buffers=3 ! " +
           encoderLaunch(config) + " ! rtph264pay name=pay0 pt=96 )";
}

GstVideoInfo videoInfo(const CardConfig& config) {
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, config.width, config.height);
    gst_util_double_to_fraction(config.fps, &info.fps_n, &info.fps_d);
    return info;
}

// The encoder's bit rate property in its own unit, when it has one we know.
void applyBitRate(GstElement* encoder, const CardConfig& config) {
    if (encoder == nullptr ||
        g_object_class_find_property(G_OBJECT_GET_CLASS(encoder), "bitrate") == nullptr) {
        return;
    }
    const std::string name = GST_OBJECT_NAME(gst_element_get_factory(encoder));
    if (name == "x264enc") {
        g_object_set(encoder, "bitrate", static_cast<guint>(std::max(1, config.bitRate / 1000)),
                     nullptr);
    } else if (name == "openh264enc") {
        g_object_set(encoder, "bitrate", static_cast<guint>(config.bitRate), nullptr);
    }
}

}  // namespace

struct CardStream::Impl : std::enable_shared_from_this<Impl> {
    const std::string path;
    const std::function<CardSources()> sources;
    GstRTSPMediaFactory* factory = nullptr;
    gulong configureHandler = 0;
    int handle = 0;  // the server the stream is mounted on; 0 = none

    std::mutex mutex;
    std::condition_variable wake;
    CardConfig config;              // guarded by mutex
    GstElement* source = nullptr;   // guarded by mutex: the appsrc of the watched media
    GstElement* encoder = nullptr;  // guarded by mutex
    GstRTSPMedia* media = nullptr;  // guarded by mutex: identity only, not referenced
    // Counts the medias attached: a new media's appsrc may get the address of one already freed,
    // so the composer tells medias apart by this count (it sets the caps on each new one).
    uint64_t attached = 0;  // guarded by mutex
    bool stopping = false;  // guarded by mutex
    std::thread composer;

    Impl(std::string p, CardConfig c, std::function<CardSources()> s)
        : path(std::move(p)), sources(std::move(s)), config(std::move(c)) {}

    // -- server side (the server's main-loop thread) --

    static void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
        if (auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock()) {
            self->attach(media);
        }
    }

    static void onUnprepared(GstRTSPMedia* media, gpointer data) {
        if (auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock()) {
            self->detach(media);
        }
    }

    static void deleteWeak(gpointer data, GClosure*) {
        delete static_cast<std::weak_ptr<Impl>*>(data);
    }

    void attach(GstRTSPMedia* configured) {
        GstElement* bin = gst_rtsp_media_get_element(configured);
        GstElement* appsrc = gst_bin_get_by_name(GST_BIN(bin), "src");
        GstElement* enc = gst_bin_get_by_name(GST_BIN(bin), "enc");
        gst_object_unref(bin);
        if (appsrc == nullptr) {
            TARN_LOG_ERROR("VideoEcho {}: the stream has no picture source", path);
            if (enc != nullptr) {
                gst_object_unref(enc);
            }
            return;
        }
        g_signal_connect_data(configured, "unprepared", G_CALLBACK(onUnprepared),
                              new std::weak_ptr<Impl>(weak_from_this()), deleteWeak,
                              GConnectFlags(0));
        std::lock_guard<std::mutex> lock(mutex);
        releaseMedia();
        source = appsrc;
        encoder = enc;
        media = configured;
        ++attached;
        wake.notify_all();
    }

    void detach(GstRTSPMedia* unprepared) {
        std::lock_guard<std::mutex> lock(mutex);
        if (media == unprepared) {
            releaseMedia();
        }
    }

    void releaseMedia() {  // mutex held
        if (source != nullptr) {
            gst_object_unref(source);
        }
        if (encoder != nullptr) {
            gst_object_unref(encoder);
        }
        source = nullptr;
        encoder = nullptr;
        media = nullptr;
    }

    void requestKeyFrame() {
        GstElement* enc = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (encoder != nullptr) {
                enc = GST_ELEMENT(gst_object_ref(encoder));
            }
        }
        if (enc == nullptr) {
            return;
        }
        if (GstPad* pad = gst_element_get_static_pad(enc, "src")) {
            gst_pad_send_event(
                pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
            gst_object_unref(pad);
        }
        gst_object_unref(enc);
    }

    // -- composing thread --

    void compose();
};

void CardStream::Impl::compose() {
    Composer composer;
    std::vector<VideoEchoSourceFrame> slots;
    std::vector<std::unique_ptr<qv::mediacore::IFrame>> frames;
    std::vector<bool> shownPresent;
    std::vector<uint64_t> shownSequence;
    std::vector<SpliceRegion> shownRegions;
    GstBuffer* last = nullptr;
    uint64_t pushedTo = 0;  // the count of the media last pushed to
    int pushedWidth = 0, pushedHeight = 0;
    float pushedFps = 0;
    int64_t lastSlot = -1;
    bool failureLogged = false;

    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (source == nullptr) {
            wake.wait(lock, [&] { return stopping || source != nullptr; });
            continue;
        }
        const CardConfig current = config;
        const auto frameInterval = std::chrono::duration<double>(1.0 / current.fps);
        wake.wait_for(lock, frameInterval / 4, [&] { return stopping; });
        if (stopping || source == nullptr) {
            continue;
        }
        GstElement* appsrc = GST_ELEMENT(gst_object_ref(source));
        const uint64_t pushing = attached;
        lock.unlock();

        if (pushing != pushedTo) {
            lastSlot = -1;  // a new media starts its own running time
        }
        CardSources card = sources();
        if (slots.size() < card.regions.size()) {
            slots.resize(card.regions.size());
            while (frames.size() < card.regions.size()) {
                frames.push_back(std::make_unique<qv::mediacore::IFrame>());
            }
        }
        std::vector<bool> present(card.regions.size(), false);
        bool changed = pushing != pushedTo || current.width != pushedWidth ||
                       current.height != pushedHeight || current.fps != pushedFps ||
                       card.regions.size() != shownRegions.size();
        for (size_t i = 0; i < card.regions.size(); ++i) {
            slots[i].frame = frames[i].get();
            void* slot = &slots[i];
            if (card.source) {
                try {
                    present[i] = card.source(card.regions[i].mediaId, &slot) != nullptr;
                } catch (...) {
                    if (!failureLogged) {
                        TARN_LOG_ERROR("VideoEcho {}: the source callback failed for media {}",
                                       path, card.regions[i].mediaId);
                        failureLogged = true;
                    }
                }
            }
            if (!changed) {
                const auto& a = card.regions[i];
                const auto& b = shownRegions[i];
                changed = a.mediaId != b.mediaId || a.rect.x != b.rect.x || a.rect.y != b.rect.y ||
                          a.rect.width != b.rect.width || a.rect.height != b.rect.height ||
                          present[i] != shownPresent[i] ||
                          (present[i] && slots[i].sequence != shownSequence[i]);
            }
        }
        // Pictures are stamped on the grid of the card's frame interval, at most one per slot, so
        // that a client's timestamps at the nominal rate always increase. A new picture goes out at
        // once when its slot is free; an unchanged one is repeated every second slot.
        const auto interval = static_cast<GstClockTime>(1e9 / current.fps);
        // Running time exists only while the media plays (before, the base time is not set yet).
        GstClockTime runningTime = GST_CLOCK_TIME_NONE;
        GstState state = GST_STATE_NULL;
        gst_element_get_state(appsrc, &state, nullptr, 0);
        GstClock* clock = state == GST_STATE_PLAYING ? gst_element_get_clock(appsrc) : nullptr;
        if (clock != nullptr) {
            const GstClockTime now = gst_clock_get_time(clock);
            const GstClockTime base = gst_element_get_base_time(appsrc);
            runningTime = now >= base ? now - base : GST_CLOCK_TIME_NONE;
            gst_object_unref(clock);
        }
        int64_t slot = lastSlot;
        if (GST_CLOCK_TIME_IS_VALID(runningTime)) {
            slot = static_cast<int64_t>(runningTime / interval);
            if (slot < lastSlot) {
                lastSlot = -1;  // the media restarted its running time (paused and played again)
            }
        }
        if (slot > lastSlot && (changed || last == nullptr || slot >= lastSlot + 2)) {
            GstBuffer* buffer = nullptr;
            if (changed || last == nullptr) {
                if (current.width != pushedWidth || current.height != pushedHeight ||
                    current.fps != pushedFps || pushing != pushedTo) {
                    GstVideoInfo info = videoInfo(current);
                    GstCaps* caps = gst_video_info_to_caps(&info);
                    gst_app_src_set_caps(GST_APP_SRC(appsrc), caps);
                    gst_caps_unref(caps);
                }
                const GstVideoInfo info = videoInfo(current);
                buffer = gst_buffer_new_allocate(nullptr, info.size, nullptr);
                GstMapInfo map;
                if (gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
                    I420Picture picture;
                    for (int plane = 0; plane < 3; ++plane) {
                        picture.planes[plane] = map.data + info.offset[plane];
                        picture.strides[plane] = info.stride[plane];
                    }
                    picture.width = current.width;
                    picture.height = current.height;
                    std::vector<ComposeRegion> regions;
                    regions.reserve(card.regions.size());
                    for (size_t i = 0; i < card.regions.size(); ++i) {
                        regions.push_back(
                            {card.regions[i].rect, present[i] ? slots[i].frame : nullptr});
                    }
                    composer.compose(picture, regions);
                    gst_buffer_unmap(buffer, &map);
                }
                if (last != nullptr) {
                    gst_buffer_unref(last);
                }
                last = gst_buffer_ref(buffer);
                shownRegions = card.regions;
                shownPresent = present;
                shownSequence.assign(card.regions.size(), 0);
                for (size_t i = 0; i < card.regions.size(); ++i) {
                    shownSequence[i] = slots[i].sequence;
                }
                pushedWidth = current.width;
                pushedHeight = current.height;
                pushedFps = current.fps;
                pushedTo = pushing;
            } else {
                // Nothing new: the same picture again, so that the stream keeps its rate.
                buffer = gst_buffer_copy(last);
            }
            GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(slot) * interval;
            GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
            GST_BUFFER_DURATION(buffer) = interval;
            gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);
            lastSlot = slot;
        }
        gst_object_unref(appsrc);
        lock.lock();
    }
    if (last != nullptr) {
        gst_buffer_unref(last);
    }
}

CardStream::CardStream(std::string path, CardConfig config, std::function<CardSources()> sources)
    : impl_(std::make_shared<Impl>(std::move(path), std::move(config), std::move(sources))) {
    impl_->factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(impl_->factory, launchLine(impl_->config).c_str());
    gst_rtsp_media_factory_set_shared(impl_->factory, TRUE);
    gst_rtsp_media_factory_set_protocols(
        impl_->factory, impl_->config.tcpOnly ? GST_RTSP_LOWER_TRANS_TCP
                                              : GstRTSPLowerTrans(GST_RTSP_LOWER_TRANS_UDP |
                                                                  GST_RTSP_LOWER_TRANS_TCP));
    impl_->configureHandler =
        g_signal_connect_data(impl_->factory, "media-configure", G_CALLBACK(Impl::onMediaConfigure),
                              new std::weak_ptr<Impl>(impl_), Impl::deleteWeak, GConnectFlags(0));
    impl_->composer = std::thread([impl = impl_.get()] { impl->compose(); });
}

CardStream::~CardStream() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        impl_->wake.notify_all();
    }
    impl_->composer.join();
    if (impl_->handle > 0) {
        RtspServer::instance().unmount(impl_->handle, impl_->path);
    }
    g_signal_handler_disconnect(impl_->factory, impl_->configureHandler);
    g_object_unref(impl_->factory);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->releaseMedia();
}

bool CardStream::mount(int handle) {
    std::weak_ptr<Impl> weak = impl_;
    if (!RtspServer::instance().mount(handle, impl_->path, impl_->factory, [weak] {
            if (auto impl = weak.lock()) {
                impl->requestKeyFrame();
            }
        })) {
        return false;
    }
    impl_->handle = handle;
    return true;
}

void CardStream::configure(const CardConfig& config) {
    GstElement* enc = nullptr;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->config = config;
        if (impl_->encoder != nullptr) {
            enc = GST_ELEMENT(gst_object_ref(impl_->encoder));
        }
        impl_->wake.notify_all();
    }
    gst_rtsp_media_factory_set_launch(impl_->factory, launchLine(config).c_str());
    gst_rtsp_media_factory_set_protocols(
        impl_->factory,
        config.tcpOnly ? GST_RTSP_LOWER_TRANS_TCP
                       : GstRTSPLowerTrans(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
    if (enc != nullptr) {
        applyBitRate(enc, config);
        gst_object_unref(enc);
    }
}

}  // namespace tarn::mediadispatch
