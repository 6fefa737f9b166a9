// Scratch vectors kept per thread from one call to the next.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kelvara {

/// Vectors lent from a per-thread store: `lend` gives the vector kept there (empty,
/// its memory kept) and `give_back` keeps one for the next call unless it holds more
/// than `kKeptScratchBytes`. A task repeated many times on one thread (reading file
/// after file) then asks the system for fresh memory once, not every time. `Tag`
/// names the store, so that vectors in use at once do not share one.
inline constexpr std::size_t kKeptScratchBytes = std::size_t{4} << 20;

template <class Tag, class T>
std::vector<T>& scratch_store() {
    thread_local std::vector<T> kept;
    return kept;
}

template <class Tag, class T>
std::vector<T> lend() {
    std::vector<T> items = std::move(scratch_store<Tag, T>());
    items.clear();
    return items;
}

template <class Tag, class T>
void give_back(std::vector<T>&& items) {
    if (items.capacity() * sizeof(T) > kKeptScratchBytes) return;
    items.clear();
    scratch_store<Tag, T>() = std::move(items);
}

}  // namespace kelvara
