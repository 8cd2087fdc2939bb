// Count adjustment: makes a selection exactly `count` long, by a uniform shuffle and cut when
// it is longer, or by uniform draws with replacement from a pool of items when it is shorter.
// One stage for the reduction (the thread's generator, whole points) and the vertex sample (a
// seeded stream, vertex indices): the draws depend only on the generator's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "random/uniform.h"

namespace vertisift::reduce {

// The whole selection shuffled uniformly, then cut to its first `count` items (fewer than it
// has): every subset and order is equally likely however few items are kept.
template <class List, class Engine>
void shuffle_and_cut(List& selection, std::uint64_t count, Engine& rng) {
  for (std::size_t i = selection.size() - 1; i >= 1; --i) {
    std::swap(selection[i], selection[static_cast<std::size_t>(random::uniform_index(rng, i + 1))]);
  }
  selection.resize(static_cast<std::size_t>(count));
}

// Room for `count` items at once: a count beyond memory fails here with std::bad_alloc,
// before anything is drawn, instead of after growing the selection step by step.
template <class List>
void reserve_count(List& selection, std::uint64_t count) {
  if (count > selection.max_size()) throw std::bad_alloc();
  selection.reserve(static_cast<std::size_t>(count));
}

// Uniform draws with replacement from a pool of `pool_size` items (at least one) until the
// selection holds `count`; item_of(i) makes item i of the pool.
template <class List, class Engine, class ItemOf>
void top_up(List& selection, std::uint64_t count, std::uint64_t pool_size, Engine& rng,
            ItemOf&& item_of) {
  while (selection.size() < count)
    selection.push_back(item_of(random::uniform_index(rng, pool_size)));
}

// Takes over `selection` and returns it `count` long. With an empty pool there is nothing to
// draw from, and a shorter selection stays as it is.
template <class List, class Engine, class ItemOf>
List adjust_count(List selection, std::uint64_t count, std::uint64_t pool_size, Engine& rng,
                  ItemOf&& item_of) {
  if (selection.size() > count) {
    shuffle_and_cut(selection, count, rng);
  } else if (pool_size != 0) {
    reserve_count(selection, count);
    top_up(selection, count, pool_size, rng, item_of);
  }
  return selection;
}

}  // namespace vertisift::reduce
