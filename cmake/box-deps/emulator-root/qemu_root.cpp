// qemu-root SYSROOT ROOT: makes ROOT/lib, the directory qemu's -L takes a 32-bit
// PowerPC program's libraries from: every entry of SYSROOT/lib as a link to it, except
// the shared objects that use the POWER9 (ISA 3.0) forms of mffs, which are copied with
// those instructions written as plain mffs.
//
// The POWER9 forms (mffsce, mffscdrn[i], mffscrn[i], mffsl) are mffs with bits 11-20
// set. Cores before POWER9 ignore those bits and run them as mffs, and glibc relies on
// that, setting the rounding mode separately where the core lacks ISA 3.0; qemu's
// 32-bit cores raise SIGILL instead. Clearing the bits makes the copy run under qemu as
// it runs on the box.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t be32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 | std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}
std::uint16_t be16(const Bytes& b, std::size_t at) { return std::uint16_t(b[at] << 8 | b[at + 1]); }

// The word written as plain mffs, or the word itself when it is no POWER9 form of it.
std::uint32_t as_plain_mffs(std::uint32_t w) {
    const std::uint32_t primary = w >> 26, xo = (w >> 1) & 0x3ff, form = (w >> 16) & 0x1f;
    const bool power9_form = form == 1 || (form >= 20 && form <= 24);
    if (primary != 63 || xo != 583 || !power9_form) return w;
    return w & ~std::uint32_t(0x3ff << 11);
}

// Rewrites the instructions in every executable section of a big-endian 32-bit
// PowerPC ELF file; the number rewritten, or -1 when the file is no such ELF file.
long rewrite(Bytes& elf) {
    const std::uint8_t magic[] = {0x7f, 'E', 'L', 'F', 1 /* 32-bit */, 2 /* big-endian */};
    if (elf.size() < 52 || !std::equal(std::begin(magic), std::end(magic), elf.begin())) return -1;
    if (be16(elf, 18) != 20 /* EM_PPC */) return -1;
    const std::size_t shoff = be32(elf, 32), shentsize = be16(elf, 46), shnum = be16(elf, 48);
    if (shentsize < 40 || shoff + shnum * shentsize > elf.size()) return -1;
    long count = 0;
    for (std::size_t i = 0; i < shnum; i++) {
        const std::size_t sh = shoff + i * shentsize;
        const std::uint32_t type = be32(elf, sh + 4), flags = be32(elf, sh + 8);
        const std::size_t offset = be32(elf, sh + 16), size = be32(elf, sh + 20);
        if (type != 1 /* SHT_PROGBITS */ || (flags & 4 /* SHF_EXECINSTR */) == 0) continue;
        if (offset % 4 != 0 || offset + size > elf.size()) return -1;
        for (std::size_t at = offset; at + 4 <= offset + size; at += 4) {
            const std::uint32_t w = be32(elf, at), plain = as_plain_mffs(w);
            if (plain == w) continue;
            for (int k = 0; k < 4; k++) elf[at + std::size_t(k)] = std::uint8_t(plain >> (24 - 8 * k));
            count++;
        }
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qemu-root SYSROOT ROOT\n");
        return 1;
    }
    const fs::path from = fs::path(argv[1]) / "lib", to = fs::path(argv[2]) / "lib";
    std::error_code error;
    fs::remove_all(to, error);
    fs::create_directories(to, error);
    if (error) {
        std::fprintf(stderr, "qemu-root: cannot make %s\n", to.c_str());
        return 1;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        const fs::path name = entry.path().filename();
        const bool shared_object = name.string().find(".so") != std::string::npos;
        if (entry.is_regular_file() && !entry.is_symlink() && shared_object) {
            std::ifstream in(entry.path(), std::ios::binary);
            Bytes elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const long count = rewrite(elf);
            if (count > 0) {
                std::ofstream out(to / name, std::ios::binary);
                out.write(reinterpret_cast<const char*>(elf.data()), std::streamsize(elf.size()));
                if (!out) {
                    std::fprintf(stderr, "qemu-root: cannot write %s\n", (to / name).c_str());
                    return 1;
                }
                std::printf("qemu-root: %s: %ld POWER9 forms of mffs written as mffs\n", name.c_str(), count);
                continue;
            }
        }
        fs::create_symlink(entry.path(), to / name, error);
        if (error) {
            std::fprintf(stderr, "qemu-root: cannot link %s\n", (to / name).c_str());
            return 1;
        }
    }
    return 0;
}
