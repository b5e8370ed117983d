// For the content tests: the contact sheet run on content with one file damaged.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/wait.h>

#include "testbox.h"

namespace testbox {

// Runs content-sheet on a copy of the build's content whose file `name` holds bytes
// instead. It must refuse: exit status 1 and no sheet written (throws otherwise).
// Returns what it said, with the copy's folder written as CONTENT.
inline std::string content_sheet_refusal(const std::string& name, const Bytes& bytes) {
    const std::string dir = temp_dir() + "/content-" + name;
    // Not the sheet of the build's content_sheet target: the refusal must make none.
    for (const auto& entry : std::filesystem::directory_iterator(CONTENT_DIR))
        if (entry.path().filename() != "sheet.png")
            write_file(dir + "/" + entry.path().filename().string(), read_file(entry.path().string()));
    write_file(dir + "/" + name, bytes);
    const std::string cmd = program("tools/content-sheet") + " " + dir + " " + SOURCE_DIR + "/assets " + dir +
                            "/sheet.png 2>" + dir + "/said.txt";
    const int status = std::system(cmd.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1 || std::filesystem::exists(dir + "/sheet.png"))
        throw std::runtime_error(cmd + ": did not refuse with status 1 (status " + std::to_string(status) + ")");
    std::string said = text_of(dir + "/said.txt");
    for (std::size_t at; (at = said.find(dir)) != std::string::npos;) said.replace(at, dir.size(), "CONTENT");
    return said;
}

}  // namespace testbox
