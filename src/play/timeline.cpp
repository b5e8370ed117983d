#include "play/timeline.h"

#include <cstdlib>
#include <vector>

#include "data/datafile.h"
#include "data/pngwrite.h"
#include "show/vidparm.h"

namespace play {

bool prelude_runs(const std::optional<std::string>& section) {
    return !section || std::strtoul(section->c_str(), nullptr, 0) == 0;
}

Soundtrack soundtrack_of_stream(unsigned n, bool prelude) {
    if (n == 0) return Soundtrack::None;
    return prelude && n == 1 ? Soundtrack::Prelude : Soundtrack::Main;
}

std::vector<Shot> due_shots(std::vector<Shot>& shots, Soundtrack soundtrack, std::uint32_t fcount) {
    std::vector<Shot> due;
    for (auto it = shots.begin(); it != shots.end();) {
        if (soundtrack != (it->prelude ? Soundtrack::Prelude : Soundtrack::Main) || fcount < it->frame) {
            ++it;
            continue;
        }
        due.push_back(*it);
        it = shots.erase(it);
    }
    return due;
}

const char* section_name(Soundtrack soundtrack, std::uint32_t fcount) {
    switch (soundtrack) {
    case Soundtrack::None: return "start";
    case Soundtrack::Prelude: return "prelude";
    case Soundtrack::Main: break;
    }
    if (fcount < kFireEnd) return "fire";
    if (fcount < kZoomEnd) return "zoomer";
    if (fcount < kThreedeeEnd) return "3D";
    return "end titles";
}

std::optional<SoundtrackLengths> soundtrack_lengths(const std::string& data_file) {
    datafile::Bytes data;
    std::vector<datafile::Item> items;
    std::string why;
    if (!read_file(data_file, data) || !datafile::unscramble_and_split(data, items, why)) return std::nullopt;
    SoundtrackLengths lengths;
    for (const datafile::Item& item : items) {
        if (item.name == "prelude soundtrack") lengths.prelude = std::uint32_t(item.frames);
        if (item.name == "main soundtrack") lengths.main = std::uint32_t(item.frames);
    }
    return lengths;
}

}  // namespace play
