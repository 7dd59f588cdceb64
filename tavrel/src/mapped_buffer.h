// MappedBuffer: a fixed-capacity byte buffer of its own anonymous pages, returned on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <utility>

namespace tavrel {

// Reserves `capacity` bytes of address space without touching them: only the pages actually
// written become resident, so a buffer sized for the worst case costs what it holds. Mapped
// directly rather than through malloc so that destroying it gives the pages back at once, and
// a new buffer never inherits pages another, larger block once made resident.
class MappedBuffer {
public:
    MappedBuffer() = default;
    explicit MappedBuffer(size_t capacity) {
        void* p = capacity ? ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                           : MAP_FAILED;
        if (p != MAP_FAILED) {
            m_data = static_cast<uint8_t*>(p);
            m_capacity = capacity;
        }
    }
    ~MappedBuffer() {
        if (m_data)
            ::munmap(m_data, m_capacity);
    }
    MappedBuffer(MappedBuffer&& o) noexcept
        : m_data(std::exchange(o.m_data, nullptr)), m_capacity(std::exchange(o.m_capacity, 0)) {}
    MappedBuffer& operator=(MappedBuffer&& o) noexcept {
        if (this != &o) {
            MappedBuffer old(std::move(*this));
            m_data = std::exchange(o.m_data, nullptr);
            m_capacity = std::exchange(o.m_capacity, 0);
        }
        return *this;
    }
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;

    // Gives the pages back to the system while keeping the mapping; they read as zeros after.
    // Nobody may be using the bytes meanwhile.
    void discard() {
        if (m_data)
            ::madvise(m_data, m_capacity, MADV_DONTNEED);
    }

    uint8_t* data() const { return m_data; }
    size_t capacity() const { return m_capacity; }
    bool valid() const { return m_data != nullptr; }

private:
    uint8_t* m_data = nullptr;
    size_t m_capacity = 0;
};

} // namespace tavrel
