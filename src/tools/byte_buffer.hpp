// A growing byte buffer for collecting a child's whole output. It grows with realloc, which the
// C library serves for large blocks by remapping pages instead of copying them: collecting
// hundreds of megabytes touches each page once, where a doubling std::string copies and faults
// its way through about twice as much memory.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>

namespace kestrin {

class ByteBuffer {
public:
    void append(std::string_view bytes) {
        if (bytes.size() > capacity_ - size_) grow(bytes.size());
        std::copy(bytes.begin(), bytes.end(), data_.get() + size_);
        size_ += bytes.size();
    }

    std::string_view view() const { return {data_.get(), size_}; }
    operator std::string_view() const { return view(); }
    std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(char* block) const { std::free(block); }
    };

    void grow(std::size_t more) {
        std::size_t wanted = capacity_ < 65536 ? 65536 : capacity_ * 2;
        while (wanted - size_ < more) wanted *= 2;
        void* moved = std::realloc(data_.get(), wanted);
        if (moved == nullptr) throw std::bad_alloc();
        (void)data_.release();
        data_.reset(static_cast<char*>(moved));
        capacity_ = wanted;
    }

    std::unique_ptr<char, Free> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kestrin
