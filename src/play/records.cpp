#include "play/records.h"

namespace play {

bool open_records(const Options& options, std::FILE*& trace, std::FILE*& dsp_out, std::string& why) {
    if (!options.trace.empty() && (trace = std::fopen(options.trace.c_str(), "w")) == nullptr) {
        why = "cannot write " + options.trace;
        return false;
    }
    if (!options.dsp_out.empty() && (dsp_out = std::fopen(options.dsp_out.c_str(), "wb")) == nullptr) {
        why = "cannot write " + options.dsp_out;
        return false;
    }
    return true;
}

std::string trace_line(std::uint64_t t_us, const std::string& json, bool writing, std::uint32_t fcount) {
    std::string line = "{\"t_us\":" + std::to_string(t_us) + "," + json.substr(1);
    if (writing) line.insert(line.size() - 1, ",\"fcount\":" + std::to_string(fcount));
    return line + '\n';
}

}  // namespace play
