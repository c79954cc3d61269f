// Helpers shared by the fuzz targets: a reader that turns the fuzzer's bytes
// into choices (running dry yields zeros, so every input is valid), and
// frames fenced by inaccessible pages so that any read or write outside the
// pixels the host handed over faults at once.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kzrfuzz {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool Empty() const { return p_ == end_; }
    uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    // Copies n bytes (zeros past the end).
    void Bytes(void* out, size_t n) {
        auto* o = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i)
            o[i] = Byte();
    }
    template <class T>
    T Raw() {
        T v;
        Bytes(&v, sizeof v);
        return v;
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// `bytes` of read-write memory with a PROT_NONE page on either side; the
// pixels end at the upper fence or start right after the lower one.
class FencedFrame {
  public:
    FencedFrame(size_t bytes, bool atEnd, uint8_t fill) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        span_ = (bytes + page - 1) / page * page;
        total_ = span_ + 2 * page;
        void* m = mmap(nullptr, total_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED)
            std::abort();
        base_ = static_cast<uint8_t*>(m);
        if (span_ != 0 && mprotect(base_ + page, span_, PROT_READ | PROT_WRITE) != 0)
            std::abort();
        data_ = base_ + page + (atEnd ? span_ - bytes : 0);
        for (size_t i = 0; i < bytes; ++i)
            data_[i] = static_cast<uint8_t>(fill + i * 37);
    }
    ~FencedFrame() { munmap(base_, total_); }
    FencedFrame(const FencedFrame&) = delete;
    FencedFrame& operator=(const FencedFrame&) = delete;
    uint8_t* Data() { return data_; }

  private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t span_ = 0, total_ = 0;
};

}  // namespace kzrfuzz
