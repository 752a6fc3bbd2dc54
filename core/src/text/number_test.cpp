#include "text/number.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace karvik_core {
namespace {

TEST(RenderNumber, Table) {
  struct Case {
    double value;
    std::string text;
  };
  const Case cases[] = {
      {10000.0, "10000"},
      {0.5, "0.5"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {-0.0, "-0"},
      {0.0, "0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {-2.25, "-2.25"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {123456789012345680.0, "123456789012345680"},
      // Shortest digits, not the double's exact value 99999999999999991611392.
      {1e23, "100000000000000000000000"},
      {-1.5e300, "-15" + std::string(299, '0')},
      {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
      {0.000123, "0.000123"},
      {123.456, "123.456"},
      {5e-324, "0." + std::string(323, '0') + "5"},
  };
  for (const auto& c : cases) EXPECT_EQ(render_number(c.value), c.text) << c.text;
}

TEST(RenderNumber, ExtremesArePositional) {
  const std::string max = render_number(std::numeric_limits<double>::max());
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.find_first_not_of("0123456789"), std::string::npos);
  const std::string tiny = render_number(std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(tiny.rfind("0.", 0), 0u);
  EXPECT_EQ(tiny.back(), '5');  // 4.9406564584124654e-324 shortest is 5e-324
  EXPECT_EQ(std::strtod(tiny.c_str(), nullptr), std::numeric_limits<double>::denorm_min());
}

TEST(RenderNumber, RandomDoublesReadBackExactly) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(rng());
    if (!std::isfinite(value)) continue;
    const std::string text = render_number(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
}

TEST(RenderTwoDecimals, RoundsLikePythonFormat) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1.5, "1.50"}, {3.0, "3.00"}, {0.125, "0.12"}, {0.375, "0.38"}, {2.675, "2.67"},  // 2.675 is below the tie
      {0.005, "0.01"}, {-0.001, "-0.00"}, {1e21, "1000000000000000000000.00"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"}, {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(render_two_decimals(c.value), c.text) << c.text;
}

}  // namespace
}  // namespace karvik_core
