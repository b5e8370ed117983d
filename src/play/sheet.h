// A contact sheet of a run: a thumbnail of the screen every few seconds, labelled with
// its time and the section of the show, in rows on one PNG picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "play/screen.h"

namespace play {

class ContactSheet {
public:
    static constexpr std::uint64_t kEveryUs = 5000000;
    static constexpr unsigned kColumns = 8;
    static constexpr unsigned kThumbWidth = Screen::kWidth / 4;
    static constexpr unsigned kThumbHeight = Screen::kHeight / 4;
    static constexpr unsigned kLabelHeight = 12;
    static constexpr unsigned kGap = 4;

    // Whether the next thumbnail is due at t_us (from the start of the run).
    bool due(std::uint64_t t_us) const { return t_us >= next_us_; }
    // Takes the thumbnail; the next is due at the next multiple of kEveryUs.
    void add(std::uint64_t t_us, const char* section, const Screen& screen);

    // The whole sheet as 8-bit RGB triplets, width x height.
    std::vector<std::uint8_t> render(unsigned& width, unsigned& height) const;
    // As an RGB PNG file; false with why.
    bool write(const std::string& path, std::string& why) const;

    // "m:ss section", as a label reads.
    static std::string label(std::uint64_t t_us, const char* section);

private:
    struct Thumb {
        std::string label;
        std::vector<std::uint8_t> rgb;  // kThumbWidth x kThumbHeight
    };
    std::vector<Thumb> thumbs_;
    std::uint64_t next_us_ = 0;
};

}  // namespace play
