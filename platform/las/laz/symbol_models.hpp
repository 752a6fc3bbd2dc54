#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "las/laz/models.hpp"

namespace las::laz {

// N fresh symbol models of `symbols` symbols each.
template <std::size_t N>
std::array<SymbolModel, N> symbol_models(std::uint32_t symbols) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<SymbolModel, N>{((void)I, SymbolModel(symbols))...};
  }(std::make_index_sequence<N>{});
}

// A model created on first use, as the items do for their sparse context tables.
inline SymbolModel& lazy_model(std::optional<SymbolModel>& slot, std::uint32_t symbols) {
  if (!slot) slot.emplace(symbols);
  return *slot;
}

}  // namespace las::laz
