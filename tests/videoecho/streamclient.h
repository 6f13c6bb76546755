// Runs Debian's FFmpeg clients (ffprobe, ffmpeg) against a served stream, as child processes with
// their output captured and a time bound, and reads back what they decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace videoechotest {

struct ProgramResult {
    int exitCode = -1;  // -1 when it had to be killed
    std::string out;
    std::string err;
};

ProgramResult runProgram(const std::vector<std::string>& argv, int timeoutMs);

struct ProbedStream {
    std::string codec;
    int width = 0;
    int height = 0;
    double frameRate = 0;  // r_frame_rate
};
// ffprobe's view of the first video stream of `url` over RTSP/TCP; exitCode != 0 when none.
ProgramResult probe(const std::string& url, ProbedStream& stream);

// `ffmpeg -rtsp_transport tcp -i URL -t SECONDS -f rawvideo -pix_fmt yuv420p -`: the decoded
// frames as they left the decoder (I420, luma first), in their timestamps' order.
ProgramResult decodeI420(const std::string& url, double seconds);

}  // namespace videoechotest
