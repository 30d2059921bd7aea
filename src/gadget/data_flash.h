#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavrel {

// The bytes of the data flash page: the gadget's flash from address 0, as last read, cleared or
// edited. Index i stands for flash address i. The grid shows and edits them; reads and writes of
// the gadget go through them.
class DataFlashImage {
public:
    explicit DataFlashImage(std::size_t size = 0) : m_bytes(size, 0) {}

    std::size_t Size() const { return m_bytes.size(); }
    // Resizes to `size` bytes, all zero.
    void Resize(std::size_t size) { m_bytes.assign(size, 0); }
    // 0 past the end.
    std::uint8_t At(std::size_t index) const { return index < m_bytes.size() ? m_bytes[index] : 0; }
    // Ignored past the end.
    void Set(std::size_t index, std::uint8_t value) {
        if (index < m_bytes.size()) m_bytes[index] = value;
    }
    // Writes `bytes` at `index`; refuses (false, nothing written) a range not wholly within.
    bool Write(std::size_t index, std::span<const std::uint8_t> bytes);
    void Fill(std::uint8_t value);
    std::span<const std::uint8_t> Bytes() const { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

}  // namespace tavrel
