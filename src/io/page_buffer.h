#pragma once
// A read buffer on a page boundary: the kernel copies from the page cache into an unaligned buffer at about
// half the speed, which whole-volume passes feel. Its pages are made at once: one call instead of a fault per
// page on the first pass, which on a short pass is a good part of its time.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace salvora {

class PageBuffer {
  public:
    explicit PageBuffer(std::size_t size) : size_(size), mapped_(Rounded(size)) {
        void* at = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (at == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(at);
    }
    PageBuffer(PageBuffer&& other) noexcept
        : size_(other.size_), mapped_(other.mapped_), data_(std::exchange(other.data_, nullptr)) {}
    PageBuffer& operator=(PageBuffer&& other) noexcept {
        if (this != &other) {
            Release();
            size_ = other.size_;
            mapped_ = other.mapped_;
            data_ = std::exchange(other.data_, nullptr);
        }
        return *this;
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer() { Release(); }

    std::uint8_t* data() { return data_; }
    std::size_t size() const { return size_; }
    std::uint8_t& operator[](std::size_t i) { return data_[i]; }
    std::span<std::uint8_t> span() { return {data_, size_}; }

  private:
    static constexpr std::size_t kPage = 4096;
    static std::size_t Rounded(std::size_t size) { return (size + kPage - 1) / kPage * kPage + (size == 0 ? kPage : 0); }
    void Release() {
        if (data_ != nullptr) ::munmap(data_, mapped_);
    }
    std::size_t size_;
    std::size_t mapped_;
    std::uint8_t* data_ = nullptr;
};

}  // namespace salvora
