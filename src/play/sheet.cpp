#include "play/sheet.h"

#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "box/emu/console.h"
#include "data/pngwrite.h"

namespace play {
namespace {

constexpr std::uint8_t kBackground = 0x20;
constexpr std::uint8_t kInk = 0xE0;

}  // namespace

std::string ContactSheet::label(std::uint64_t t_us, const char* section) {
    std::uint64_t s = t_us / 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%u:%02u %s", unsigned(s / 60), unsigned(s % 60), section);
    return text;
}

void ContactSheet::add(std::uint64_t t_us, const char* section, const Screen& screen) {
    Thumb thumb;
    thumb.label = label(t_us, section);
    thumb.rgb.resize(std::size_t(kThumbWidth) * kThumbHeight * 3);
    // Each thumbnail pixel is the mean colour of its 4 x 4 screen pixels.
    for (unsigned y = 0; y < kThumbHeight; y++)
        for (unsigned x = 0; x < kThumbWidth; x++)
            for (unsigned c = 0; c < 3; c++) {
                unsigned sum = 0;
                for (unsigned dy = 0; dy < 4; dy++)
                    for (unsigned dx = 0; dx < 4; dx++)
                        sum += screen.palette[3 * screen.pixels[(4 * y + dy) * Screen::kWidth + 4 * x + dx] + c];
                thumb.rgb[(y * kThumbWidth + x) * 3 + c] = std::uint8_t((sum + 8) / 16);
            }
    thumbs_.push_back(std::move(thumb));
    next_us_ = (t_us / kEveryUs + 1) * kEveryUs;
}

std::vector<std::uint8_t> ContactSheet::render(unsigned& width, unsigned& height) const {
    unsigned rows = unsigned((thumbs_.size() + kColumns - 1) / kColumns);
    unsigned cell_w = kThumbWidth + kGap, cell_h = kThumbHeight + kLabelHeight + kGap;
    width = kGap + kColumns * cell_w;
    height = kGap + (rows == 0 ? 1 : rows) * cell_h;
    std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3, kBackground);
    for (std::size_t i = 0; i < thumbs_.size(); i++) {
        unsigned x0 = kGap + unsigned(i % kColumns) * cell_w, y0 = kGap + unsigned(i / kColumns) * cell_h;
        for (unsigned y = 0; y < kThumbHeight; y++)
            std::copy_n(thumbs_[i].rgb.begin() + std::ptrdiff_t(y * kThumbWidth * 3), kThumbWidth * 3,
                        rgb.begin() + std::ptrdiff_t(((y0 + y) * width + x0) * 3));
        // The label under the thumbnail, in the box's console font, cut to fit.
        const std::string& text = thumbs_[i].label;
        unsigned ty = y0 + kThumbHeight + (kLabelHeight - 8) / 2;
        for (std::size_t k = 0; k < text.size() && k < kThumbWidth / 8; k++)
            for (unsigned row = 0; row < 8; row++) {
                std::uint8_t bits = emu::kConsoleFont[static_cast<unsigned char>(text[k])][row];
                for (unsigned col = 0; col < 8; col++)
                    if (bits & (0x80 >> col)) {
                        std::size_t at = ((ty + row) * std::size_t(width) + x0 + 8 * k + col) * 3;
                        rgb[at] = rgb[at + 1] = rgb[at + 2] = kInk;
                    }
            }
    }
    return rgb;
}

bool ContactSheet::write(const std::string& path, std::string& why) const {
    unsigned width = 0, height = 0;
    std::vector<std::uint8_t> rgb = render(width, height);
    const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (png == nullptr) {
        why = "cannot make " + path + ": libavcodec has no PNG encoder";
        return false;
    }
    AVCodecContext* codec = avcodec_alloc_context3(png);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    bool ok = codec != nullptr && frame != nullptr && packet != nullptr;
    if (ok) {
        codec->width = int(width);
        codec->height = int(height);
        codec->pix_fmt = AV_PIX_FMT_RGB24;
        codec->time_base = {1, 1};
        codec->flags |= AV_CODEC_FLAG_BITEXACT;
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = int(width);
        frame->height = int(height);
        ok = avcodec_open2(codec, png, nullptr) >= 0 && av_frame_get_buffer(frame, 0) >= 0;
    }
    if (ok) {
        for (unsigned y = 0; y < height; y++)
            std::copy_n(rgb.begin() + std::ptrdiff_t(y * width * 3), width * 3, frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0]);
        ok = avcodec_send_frame(codec, frame) >= 0 && avcodec_receive_packet(codec, packet) >= 0;
    }
    if (!ok) why = "cannot make " + path + ": PNG encoding failed";
    if (ok) {
        // Written beside its name and renamed once complete: a sheet the disk has no
        // room for leaves nothing under the name.
        ok = write_file(path, std::vector<std::uint8_t>(packet->data, packet->data + packet->size));
        if (!ok) why = "cannot write " + path;
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&codec);
    return ok;
}

}  // namespace play
