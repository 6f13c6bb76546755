// The pixel formats videoecho can generate and check, their FFmpeg codes (the channel header's
// `format` field) and the plane geometry the channel carries for them. Pure functions.
#pragma once

#include <optional>
#include <string>

namespace videoecho {

enum class PatternFormat { rgba, bgra, yuv420p, nv12 };

std::optional<PatternFormat> formatByName(const std::string& name);
std::optional<PatternFormat> formatByAvCode(int code);
const char* nameOf(PatternFormat format);
int avCodeOf(PatternFormat format);
// FFmpeg's name of any code ("rgba", "yuv420p", ...) or "unknown".
std::string avFormatName(int code);

// Line sizes of planes 0..7 for a frame of `width` (unpadded rows). Every plane is carried with
// the frame's full height in the channel, so a plane occupies height * linesize bytes.
void lineSizesOf(PatternFormat format, int width, int lineSizes[8]);
// Bytes of the planes of one frame (without the 48-byte header).
long long frameBytes(PatternFormat format, int width, int height);
// Why a frame of this geometry cannot be generated, or empty when it can.
std::string geometryProblem(PatternFormat format, int width, int height);

}  // namespace videoecho
