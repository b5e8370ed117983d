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

std::string trace_start_line(std::uint64_t time_of_day_us) {
    return "{\"t_us\":0,\"req\":\"start\",\"time_of_day_us\":" + std::to_string(time_of_day_us) + "}\n";
}

std::string trace_exit_line(std::uint64_t t_us, int status) {
    return "{\"t_us\":" + std::to_string(t_us) + ",\"req\":\"exit\",\"status\":" + std::to_string(status) + "}\n";
}

std::string trace_line(std::uint64_t t_us, const std::string& json, bool writing, std::uint32_t fcount) {
    std::string line = "{\"t_us\":" + std::to_string(t_us) + "," + json.substr(1);
    if (writing) line.insert(line.size() - 1, ",\"fcount\":" + std::to_string(fcount));
    return line + '\n';
}

}  // namespace play
