#include "h264roundtrip.h"

#include <memory>
#include <stdexcept>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace blockstamptest {

namespace {

const char* capsNameOf(int format) {
    switch (format) {
        case AV_PIX_FMT_RGBA:
            return "RGBA";
        case AV_PIX_FMT_BGRA:
            return "BGRA";
        case AV_PIX_FMT_YUV420P:
            return "I420";
        case AV_PIX_FMT_NV12:
            return "NV12";
        default:
            throw std::invalid_argument("no GStreamer name for this format");
    }
}

struct Unref {
    void operator()(GstElement* e) const { gst_object_unref(e); }
    void operator()(GstSample* s) const { gst_sample_unref(s); }
    void operator()(GstMessage* m) const { gst_message_unref(m); }
    void operator()(GstBus* b) const { gst_object_unref(b); }
};

// Stops the pipeline before it is released, whatever way the round trip ends.
struct Running {
    GstElement* pipeline;
    ~Running() { gst_element_set_state(pipeline, GST_STATE_NULL); }
};

GstBuffer* bufferOf(const Picture& picture) {
    size_t size = 0;
    for (const auto& plane : picture.planes) {
        size += plane.size();
    }
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    size_t offset = 0;
    for (const auto& plane : picture.planes) {
        gst_buffer_fill(buffer, offset, plane.data(), plane.size());
        offset += plane.size();
    }
    return buffer;
}

Picture pictureOf(GstSample* sample) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
        throw std::runtime_error("decoded caps are not video");
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        throw std::runtime_error("cannot map a decoded picture");
    }
    Picture picture;
    picture.width = GST_VIDEO_INFO_WIDTH(&info);
    picture.height = GST_VIDEO_INFO_HEIGHT(&info);
    picture.format = AV_PIX_FMT_YUV420P;
    for (int p = 0; p < 3; ++p) {
        const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
        const int rows = p == 0 ? picture.height : picture.height / 2;
        const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
        picture.lineSizes[p] = stride;
        picture.planes[p].assign(data, data + static_cast<size_t>(stride) * rows);
    }
    gst_video_frame_unmap(&frame);
    return picture;
}

}  // namespace

std::vector<Picture> throughH264(const std::vector<Picture>& pictures, int fps, int kbitPerSecond) {
    if (pictures.empty()) {
        return {};
    }
    gst_init(nullptr, nullptr);
    const Picture& first = pictures.front();
    const std::string description =
        "appsrc name=src format=time ! videoconvert ! x264enc tune=zerolatency "
        "speed-preset=ultrafast bitrate=" +
        std::to_string(kbitPerSecond) +
        " ! avdec_h264 ! videoconvert ! video/x-raw,format=I420 ! appsink name=sink sync=false";
    GError* error = nullptr;
    std::unique_ptr<GstElement, Unref> pipeline(gst_parse_launch(description.c_str(), &error));
    if (error != nullptr) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("pipeline: " + message);
    }
    std::unique_ptr<GstElement, Unref> src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
    std::unique_ptr<GstElement, Unref> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    GstCaps* caps =
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, capsNameOf(first.format),
                            "width", G_TYPE_INT, first.width, "height", G_TYPE_INT, first.height,
                            "framerate", GST_TYPE_FRACTION, fps, 1, nullptr);
    gst_app_src_set_caps(GST_APP_SRC(src.get()), caps);
    gst_caps_unref(caps);

    Running running{pipeline.get()};
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        throw std::runtime_error("the pipeline does not start");
    }
    const GstClockTime interval = GST_SECOND / static_cast<GstClockTime>(fps);
    for (size_t i = 0; i < pictures.size(); ++i) {
        GstBuffer* buffer = bufferOf(pictures[i]);
        GST_BUFFER_PTS(buffer) = i * interval;
        GST_BUFFER_DURATION(buffer) = interval;
        gst_app_src_push_buffer(GST_APP_SRC(src.get()), buffer);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src.get()));

    std::vector<Picture> decoded;
    while (true) {
        std::unique_ptr<GstSample, Unref> sample(
            gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 20 * GST_SECOND));
        if (!sample) {
            break;
        }
        decoded.push_back(pictureOf(sample.get()));
    }
    std::unique_ptr<GstBus, Unref> bus(gst_element_get_bus(pipeline.get()));
    std::unique_ptr<GstMessage, Unref> message(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    if (message) {
        GError* failure = nullptr;
        gst_message_parse_error(message.get(), &failure, nullptr);
        const std::string text = failure->message;
        g_error_free(failure);
        throw std::runtime_error("pipeline: " + text);
    }
    return decoded;
}

}  // namespace blockstamptest
