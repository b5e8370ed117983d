// The pictures of a lossless master as demo-play's .mp4 encoder gets them: 640 x 480
// pictures of 24-bit RGB on standard input (ffmpeg decodes the master to that, colours
// exact), 4:2:0 YUV on standard output, each converted by the capture's own code. A
// picture has at most 256 colours, as the box's screen has, so it goes back to a
// colour map and its indices first. capture_speed.sh gives the result to ffmpeg, so
// that both encoders get the same pictures.
//
//   ffmpeg -i MASTER.mkv -map 0:v -f rawvideo -pix_fmt rgb24 - | capture_pictures > PICTURES.yuv
#include <cstdio>
#include <vector>

#include "play/convert.h"

int main() {
    using play::Screen;
    constexpr std::size_t kPixels = std::size_t(Screen::kWidth) * Screen::kHeight;
    std::vector<std::uint8_t> rgb(3 * kPixels);
    std::vector<std::uint8_t> y(kPixels), u(kPixels / 4), v(kPixels / 4);
    std::vector<int> index_of(1 << 24, -1);  // by 0xRRGGBB, for the picture at hand
    Screen screen;
    unsigned long pictures = 0;
    while (std::fread(rgb.data(), 1, rgb.size(), stdin) == rgb.size()) {
        std::vector<unsigned> used;
        for (std::size_t i = 0; i < kPixels; i++) {
            const unsigned colour = unsigned(rgb[3 * i]) << 16 | unsigned(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
            int& index = index_of[colour];
            if (index < 0) {
                if (used.size() == 256) {
                    std::fprintf(stderr, "capture_pictures: picture %lu has more than 256 colours\n", pictures);
                    return 1;
                }
                index = int(used.size());
                used.push_back(colour);
                for (unsigned k = 0; k < 3; k++) screen.palette[3 * std::size_t(index) + k] = rgb[3 * i + k];
            }
            screen.pixels[i] = std::uint8_t(index);
        }
        for (unsigned colour : used) index_of[colour] = -1;
        play::to_yuv420(screen, 1, {y.data(), Screen::kWidth}, {u.data(), Screen::kWidth / 2}, {v.data(), Screen::kWidth / 2},
                        play::changes(nullptr, screen));
        if (std::fwrite(y.data(), 1, y.size(), stdout) != y.size() || std::fwrite(u.data(), 1, u.size(), stdout) != u.size() ||
            std::fwrite(v.data(), 1, v.size(), stdout) != v.size()) {
            std::perror("capture_pictures");
            return 1;
        }
        pictures++;
    }
    return 0;
}
