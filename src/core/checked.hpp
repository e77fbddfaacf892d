// Bounds checks whose failure is an internal fault. Their messages are part of
// the module's contract: callers see them as the PanicException text.
#pragma once

#include "core/bytes.hpp"
#include "core/errors.hpp"

#include <cstring>
#include <format>

namespace orvane {

// Bytes [start, end) of `bytes`; the start is checked before the end.
inline ByteView checked_range(ByteView bytes, std::size_t start, std::size_t end,
                              std::source_location where = std::source_location::current()) {
    if (bytes.size() < start)
        internal_fault(std::format("range start index {} out of range for slice of length {}", start, bytes.size()),
                       where);
    if (bytes.size() < end)
        internal_fault(std::format("range end index {} out of range for slice of length {}", end, bytes.size()),
                       where);
    return bytes.subspan(start, end - start);
}

// Copies `source` over `destination`, which must be exactly as long.
inline void copy_from_slice(MutableBytes destination, ByteView source,
                            std::source_location where = std::source_location::current()) {
    if (source.size() != destination.size())
        internal_fault(std::format("copy_from_slice: source slice length ({}) does not match destination slice "
                                   "length ({})",
                                   source.size(), destination.size()),
                       where);
    if (!source.empty()) std::memcpy(destination.data(), source.data(), source.size());
}

inline void check_index(std::size_t length, std::size_t index,
                        std::source_location where = std::source_location::current()) {
    if (index >= length)
        internal_fault(std::format("index out of bounds: the len is {} but the index is {}", length, index), where);
}

}  // namespace orvane
