#include "gadget/data_flash.h"

#include <algorithm>

namespace tavrel {

bool DataFlashImage::Write(std::size_t index, std::span<const std::uint8_t> bytes) {
    if (index > m_bytes.size() || bytes.size() > m_bytes.size() - index) return false;
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void DataFlashImage::Fill(std::uint8_t value) {
    std::fill(m_bytes.begin(), m_bytes.end(), value);
}

}  // namespace tavrel
