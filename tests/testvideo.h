// Reading back what a capture wrote, with libavformat and libavcodec: the streams'
// times, every packet of the sound, the sound decoded and every picture decoded.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "testbox.h"

struct AVFrame;

namespace testvideo {

struct Video {
    int video_codec = -1, audio_codec = -1;  // AVCodecID
    int width = 0, height = 0;
    double video_start = -1, video_end = -1, audio_start = -1, audio_end = -1;
    std::vector<std::int64_t> video_pts_us;     // every picture's packet, in file order
    std::vector<testbox::Bytes> audio_packets;  // every sound packet as stored
    std::vector<float> left;                    // the sound decoded, left channel
};

// Reads path; on_picture sees every decoded picture in turn.
Video read_video(const std::string& path, const std::function<void(const AVFrame&)>& on_picture = {});

// A file's sound stream as stored: what its header says of it, and its packets as they
// are (no parser joins or splits them, as it would frames that do not parse), read
// without decoding anything.
struct StoredSound {
    int codec = -1;  // AVCodecID; -1: the file has no sound stream
    int rate = 0, channels = 0;
    std::vector<testbox::Bytes> packets;
};
StoredSound read_stored_sound(const std::string& path);

// The colour of pixel (x, y) of a decoded picture: as stored for planar RGB, back from
// BT.601 limited range (rounded, clamped) for 4:2:0.
std::array<int, 3> rgb_at(const AVFrame& picture, int x, int y);

}  // namespace testvideo
