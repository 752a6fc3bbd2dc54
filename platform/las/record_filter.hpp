#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace las {

// Chooses which records of a batch to keep, from their x, y, z fields: called
// once per batch with the records and their length; sets keep[i] to 1 for
// each record to keep. In layered LAZ chunks only x, y, z, the return numbers
// and the scanner channel are decoded when it runs.
using RecordFilter =
    std::function<void(std::span<const std::uint8_t> records, std::size_t record_length, std::span<std::uint8_t> keep)>;

// Applies `keep` to the records appended to `out` from `first` on, dropping
// those it does not keep.
void filter_records(std::vector<std::uint8_t>& out, std::size_t first, std::size_t record_length,
                    const RecordFilter& keep, std::vector<std::uint8_t>& scratch);

}  // namespace las
