#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "las/header.hpp"
#include "las/point_format.hpp"

namespace las {

enum class FieldType { Signed, Unsigned, Float, Flag };

// One named field of a point record: where its value lies in the record and
// what it is once unpacked. A bit field (bits > 0) unpacks to one byte: a
// number, or 0/1 for a one-bit flag.
struct PointField {
  std::string name;
  FieldType type;
  std::uint8_t size;        // bytes of one element once unpacked
  std::uint16_t count = 1;  // elements: more than one for arrays in the extra bytes
  std::uint16_t offset = 0;  // byte offset in the record
  std::uint8_t bit_shift = 0;
  std::uint8_t bits = 0;  // 0: whole bytes, taken as they are

  std::size_t unpacked_size() const { return std::size_t{size} * count; }
  bool operator==(const PointField&) const = default;
};

// The fields of the format's records, then its extra bytes: as the Extra Bytes
// VLRs ("LASF_Spec", 4) describe them when their descriptors name each byte
// once with distinct names, else one unsigned byte array "extra_bytes".
std::vector<PointField> point_fields(const PointFormat& format, const std::vector<Vlr>& vlrs);

// Turns records into rows of their fields' values, in field order, without padding.
class FieldUnpacker {
 public:
  FieldUnpacker(const std::vector<PointField>& fields, std::size_t record_length);

  std::size_t row_size() const { return row_size_; }
  // Unpacks whole records into rows; `rows` holds records.size() / record length rows.
  void unpack(std::span<const std::uint8_t> records, std::uint8_t* rows) const;

 private:
  // Bytes copied as they are, adjacent fields merged into one run.
  struct Run {
    std::uint16_t from, to, length;
  };
  struct Bits {
    std::uint16_t from, to;
    std::uint8_t shift, mask;
  };

  std::size_t record_length_;
  std::size_t row_size_ = 0;
  std::vector<Run> runs_;
  std::vector<Bits> bits_;
};

}  // namespace las
