// A block of fresh anonymous pages: it reads as 0 without being written, and a page
// never touched costs nothing. The emulated framebuffer's memory is one; a box is
// made anew for every test and every fuzz input, and most of them never draw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <sys/mman.h>

namespace emu {

class ZeroPages {
public:
    explicit ZeroPages(std::size_t size) : size_(size) {
        if (size == 0) return;
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(p);
    }
    ~ZeroPages() {
        if (data_ != nullptr) ::munmap(data_, size_);
    }
    ZeroPages(const ZeroPages&) = delete;
    ZeroPages& operator=(const ZeroPages&) = delete;

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint8_t* begin() { return data_; }
    std::uint8_t* end() { return data_ + size_; }
    const std::uint8_t* begin() const { return data_; }
    const std::uint8_t* end() const { return data_ + size_; }
    std::uint8_t& operator[](std::size_t i) { return data_[i]; }
    std::uint8_t operator[](std::size_t i) const { return data_[i]; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_;
};

}  // namespace emu
