#include "play/options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace play {
namespace {

// "N" or "prelude:N", then ":FILE".
bool parse_shot(const std::string& text, Shot& shot) {
    std::string rest = text;
    const std::string prelude = "prelude:";
    shot.prelude = rest.compare(0, prelude.size(), prelude) == 0;
    if (shot.prelude) rest.erase(0, prelude.size());
    std::size_t colon = rest.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == rest.size()) return false;
    std::string number = rest.substr(0, colon);
    if (number.find_first_not_of("0123456789") != std::string::npos || number.size() > 9) return false;
    shot.frame = std::uint32_t(std::strtoul(number.c_str(), nullptr, 10));
    shot.path = rest.substr(colon + 1);
    return true;
}

// A whole number from the list allowed.
bool parse_choice(const std::string& text, unsigned first, unsigned last, unsigned step, unsigned& into) {
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned n = unsigned(std::strtoul(text.c_str(), nullptr, 10));
    if (n < first || n > last || (n - first) % step != 0) return false;
    into = n;
    return true;
}

bool ends_with(const std::string& text, const char* tail) {
    std::size_t n = std::strlen(tail);
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != tail[i]) return false;
    return true;
}

}  // namespace

CaptureKind capture_kind(const std::string& path) {
    if (ends_with(path, ".mp4")) return CaptureKind::Mp4;
    if (ends_with(path, ".mkv")) return CaptureKind::Mkv;
    return CaptureKind::Unknown;
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    options = Options();
    bool positional_only = false;
    std::vector<std::pair<std::string, std::string>> given;  // the options of one value, and theirs
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                error = arg + " needs a value";
                return false;
            }
            into = argv[++i];
            return true;
        };
        // The value of an option that has one: given again, it would undo the first.
        auto single = [&](std::string& into) {
            if (!value(into)) return false;
            auto first = std::find_if(given.begin(), given.end(), [&](const auto& g) { return g.first == arg; });
            if (first != given.end()) {
                error = arg + " given twice: " + first->second + " and " + into;
                return false;
            }
            given.emplace_back(arg, into);
            return true;
        };
        if (positional_only || arg.empty() || arg[0] != '-' || arg == "-") {
            if (options.section) {
                error = "more than one start section: " + *options.section + " and " + arg;
                return false;
            }
            options.section = arg;
            continue;
        }
        if (arg == "--") {
            positional_only = true;
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--trace") {
            if (!single(options.trace)) return false;
        } else if (arg == "--dsp-out") {
            if (!single(options.dsp_out)) return false;
        } else if (arg == "--capture") {
            if (!single(options.capture)) return false;
            if (capture_kind(options.capture) == CaptureKind::Unknown) {
                error = "--capture wants FILE.mp4 or FILE.mkv, not " + options.capture;
                return false;
            }
        } else if (arg == "--scale" || arg == "--fps") {
            std::string text;
            if (!single(text)) return false;
            bool scale = arg == "--scale";
            if (!(scale ? parse_choice(text, 1, kMaxScale, 1, options.scale) : parse_choice(text, 50, 60, 10, options.fps))) {
                error = arg + (scale ? " wants a whole number from 1 to 6, not " : " wants 50 or 60, not ") + text;
                return false;
            }
        } else if (arg == "--sheet") {
            if (!single(options.sheet)) return false;
        } else if (arg == "--box") {
            if (!single(options.box_root)) return false;
        } else if (arg == "--shot") {
            std::string text;
            if (!value(text)) return false;
            Shot shot;
            if (!parse_shot(text, shot)) {
                error = "--shot wants N:FILE.png or prelude:N:FILE.png, not " + text;
                return false;
            }
            options.shots.push_back(shot);
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    // A size and a rate are a capture's: that of --capture, or the one a window run
    // makes without a display (with one, it opens a window and captures nothing).
    const bool captures_instead = live_run(options) && !display_available();
    for (const auto& [option, text] : given)
        if ((option == "--scale" || option == "--fps") && options.capture.empty() && !captures_instead) {
            error = option + " " + text + " is for a capture, and there is none (--capture FILE)";
            return false;
        }
    return outputs_apart(options, error);
}

bool outputs_apart(const Options& options, std::string& error) {
    std::vector<std::pair<const char*, const std::string*>> outputs = {
        {"--trace", &options.trace}, {"--dsp-out", &options.dsp_out}, {"--capture", &options.capture}, {"--sheet", &options.sheet}};
    for (const Shot& shot : options.shots) outputs.emplace_back("--shot", &shot.path);
    // A file by any name: relative to the working directory (when it has one) or not.
    auto file = [](const std::string& path) {
        std::error_code no_cwd;
        std::filesystem::path absolute = std::filesystem::absolute(path, no_cwd);
        return (no_cwd ? std::filesystem::path(path) : absolute).lexically_normal();
    };
    for (std::size_t i = 0; i < outputs.size(); i++)
        for (std::size_t j = 0; j < i; j++)
            if (!outputs[i].second->empty() && file(*outputs[i].second) == file(*outputs[j].second)) {
                error = std::string(outputs[j].first) + " and " + outputs[i].first + " would write the same file, " + *outputs[j].second;
                return false;
            }
    return true;
}

std::string usage() {
    return "usage: demo-play [options] [SECTION]\n"
           "Plays the show on an emulated box: in a window with sound, or frame-exact into a video.\n"
           "SECTION (optional) is the show's start section: 1 fire, 2 zoomer, 3 3D, 4 end titles.\n"
           "  --fast               run in virtual time without a window (deterministic)\n"
           "  --capture FILE.mp4   record the show in virtual time: H.264 video at the exact\n"
           "                       time of every displayed picture, AAC sound (plays anywhere)\n"
           "  --capture FILE.mkv   the same as a lossless master: H.264 lossless RGB video and\n"
           "                       the show's AC-3 frames exactly as sent\n"
           "  --scale N            each box pixel as an N x N block in the capture (1 to 6)\n"
           "  --fps 50|60          a constant frame rate instead of each picture at its time\n"
           "  --sheet FILE.png     contact sheet: a labelled thumbnail every 5 seconds\n"
           "  --shot N:FILE.png    the screen when the main soundtrack's frame counter reaches N\n"
           "  --shot prelude:N:FILE.png   the same on the prelude's soundtrack\n"
           "  --trace FILE         every device request as a JSON line with its time\n"
           "  --dsp-out FILE       every byte written to the sound device\n"
           "  --box DIR            the box's file tree (default: the build's)\n"
           "Without a display a window run captures to show.mp4 and show-sheet.png instead\n"
           "(with --scale and --fps as given).\n"
           "In the window: Escape or closing it stops the show, F toggles full screen.\n"
           "Exit status: the show's; 64 for a bad command line, 73 when an output cannot be written.\n";
}

bool live_run(const Options& options) { return !options.fast && options.capture.empty() && options.sheet.empty(); }

void capture_instead(Options& options, const std::string& dir) {
    options.capture = dir + "/show.mp4";
    options.sheet = dir + "/show-sheet.png";
}

bool fall_back_to_capture(Options& options, const std::string& dir) {
    if (!live_run(options) || display_available()) return false;
    capture_instead(options, dir);
    return true;
}

bool display_available() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = std::getenv(name);
        if (v != nullptr && v[0] != '\0') return true;
    }
    return false;
}

}  // namespace play
