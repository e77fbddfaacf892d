// Byte spans: how every layer passes buffers. A view is borrowed storage that
// the callee neither keeps nor frees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace orvane {

using ByteView = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// The longest buffer any layer will ask for: sizes beyond it cannot be
// addressed by a signed offset, so asking for one is an allocation failure.
inline constexpr std::size_t max_buffer_size = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

}  // namespace orvane
