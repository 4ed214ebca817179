// The pending range of a file's small writes.
#include "write_back.h"

#include <algorithm>
#include <cstring>

namespace tvnmount {

bool write_back::absorb(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (data.empty()) return true;
    if (bytes_.empty()) {
        if (data.size() > capacity_) return false;
        start_ = offset;
        bytes_.assign(data.begin(), data.end());
        return true;
    }
    if (offset < start_ || offset > end()) return false;
    const std::uint64_t new_end = std::max(end(), offset + data.size());
    if (new_end - start_ > capacity_) return false;
    bytes_.resize(std::size_t(new_end - start_));
    std::memcpy(bytes_.data() + (offset - start_), data.data(), data.size());
    return true;
}

void write_back::release() {
    bytes_.clear();
    bytes_.shrink_to_fit();
}

} // namespace tvnmount
