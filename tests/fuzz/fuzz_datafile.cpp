// A data file of any bytes: its split into items and demo-data's check, which reads it
// as the show does. Neither crashes, reads past a buffer or leaks, and a file the
// check passes always has the layout.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "data/datacheck.h"
#include "data/datafile.h"

std::FILE* fp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> stored(data, data + size), plain(data, data + size);
    std::vector<datafile::Item> items;
    std::string why;
    bool laid_out = datafile::unscramble_and_split(plain, items, why);

    std::FILE* f = fmemopen(stored.data(), stored.size(), "rb");
    datafile::Check check = datafile::check(f, nullptr);
    std::fclose(f);
    fp = nullptr;
    if (check.items.empty() || datafile::report(check).empty()) std::abort();
    if (check.passed() && !laid_out) std::abort();
    return 0;
}
