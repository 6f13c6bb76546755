#include "streampipeline.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

namespace qv::streammediaplayercore {

namespace {

// The decoders tried in order; the first one installed is used.
constexpr const char* kDecoders[] = {"avdec_h264", "openh264dec"};

// A TCP connection that stays silent this long fails the attempt, so that a black-holed server
// is retried instead of waited for.
constexpr guint64 kTcpTimeoutUs = 3'000'000;

std::string describeDecoder() {
    for (const char* name : kDecoders) {
        if (GstElementFactory* factory = gst_element_factory_find(name)) {
            gst_object_unref(factory);
            // Frame threading would hold back one picture per thread; slices do not.
            return std::strcmp(name, "avdec_h264") == 0 ? "avdec_h264 thread-type=slice" : name;
        }
    }
    return {};
}

void copyPicture(const GstVideoFrame& frame, Picture& picture) {
    picture.width = GST_VIDEO_FRAME_WIDTH(&frame);
    picture.height = GST_VIDEO_FRAME_HEIGHT(&frame);
    const GstVideoInfo& info = frame.info;
    picture.fps =
        info.fps_d > 0 ? static_cast<uint64_t>((info.fps_n + info.fps_d / 2) / info.fps_d) : 0;
    for (int p = 0; p < kPicturePlanes; ++p) {
        const int rows = GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p);
        const int rowBytes =
            GST_VIDEO_FRAME_COMP_WIDTH(&frame, p) * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, p);
        const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
        const auto* source = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
        // resize keeps the allocation when the size is unchanged, which is the steady case.
        picture.planes[p].resize(static_cast<size_t>(rowBytes) * rows);
        picture.lineSizes[p] = rowBytes;
        uint8_t* target = picture.planes[p].data();
        for (int row = 0; row < rows; ++row) {
            std::memcpy(target + static_cast<size_t>(row) * rowBytes,
                        source + static_cast<size_t>(row) * stride, rowBytes);
        }
    }
}

GstFlowReturn onNewSample(GstAppSink* sink, gpointer userData) {
    auto* frames = static_cast<LatestFrame*>(userData);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    GstVideoInfo info;
    GstVideoFrame frame;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (caps != nullptr && buffer != nullptr && gst_video_info_from_caps(&info, caps) &&
        GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_I420 &&
        gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        copyPicture(frame, frames->spare());
        gst_video_frame_unmap(&frame);
        frames->publish();
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

}  // namespace

bool initGStreamer(std::string& error) {
    static std::once_flag once;
    static std::string failure;
    std::call_once(once, [] {
        GError* e = nullptr;
        if (!gst_init_check(nullptr, nullptr, &e)) {
            failure = e != nullptr ? e->message : "gst_init failed";
            g_clear_error(&e);
        }
    });
    error = failure;
    return failure.empty();
}

bool isRtspUrl(const std::string& url) {
    static constexpr const char* kSchemes[] = {"rtsp",  "rtspu",  "rtspt",  "rtsph",
                                               "rtsps", "rtspsu", "rtspst", "rtspsh"};
    GstUri* uri = gst_uri_from_string(url.c_str());
    if (uri == nullptr) {
        return false;
    }
    const char* scheme = gst_uri_get_scheme(uri);
    const char* host = gst_uri_get_host(uri);
    const bool rtsp = scheme != nullptr &&
                      std::any_of(std::begin(kSchemes), std::end(kSchemes), [&](const char* s) {
                          return g_ascii_strcasecmp(s, scheme) == 0;
                      });
    const bool ok = rtsp && host != nullptr && host[0] != '\0';
    gst_uri_unref(uri);
    return ok;
}

StreamPipeline::StreamPipeline(const std::string& url, LatestFrame& frames) {
    const std::string decoder = describeDecoder();
    if (decoder.empty()) {
        error_ = "no H.264 decoder installed (avdec_h264 or openh264dec)";
        unbuildable_ = true;
        return;
    }
    // The location is set as a property below, never spliced into this text.
    const std::string launch =
        "rtspsrc name=source latency=0 drop-on-latency=true protocols=tcp ! rtph264depay ! "
        "h264parse ! " +
        decoder +
        " ! videoconvert ! video/x-raw,format=I420 ! appsink name=sink max-buffers=1 drop=true "
        "sync=false";
    GError* e = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &e);
    if (e != nullptr) {
        error_ = e->message;
        unbuildable_ = true;
        g_clear_error(&e);
        if (pipeline != nullptr) {
            gst_object_unref(pipeline);
        }
        return;
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    g_object_set(source, "location", url.c_str(), "tcp-timeout", kTcpTimeoutUs, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &onNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &frames, nullptr);
    gst_object_unref(source);
    gst_object_unref(sink);
    pipeline_ = pipeline;
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        error_ = "the pipeline does not start";
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
}

StreamPipeline::~StreamPipeline() {
    if (pipeline_ != nullptr) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
}

StreamPipeline::Event StreamPipeline::waitForEvent(std::chrono::milliseconds timeout) {
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, static_cast<GstClockTime>(timeout.count()) * GST_MSECOND,
        static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    gst_object_unref(bus);
    if (message == nullptr) {
        return Event::none;
    }
    Event event = Event::ended;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* e = nullptr;
        gst_message_parse_error(message, &e, nullptr);
        error_ = e != nullptr ? e->message : "unknown error";
        g_clear_error(&e);
        // GStreamer's messages are sentences; the log line goes on after them.
        if (!error_.empty() && error_.back() == '.') {
            error_.pop_back();
        }
        event = Event::error;
    } else {
        error_ = "the server ended the stream";
    }
    gst_message_unref(message);
    return event;
}

}  // namespace qv::streammediaplayercore
