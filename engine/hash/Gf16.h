#pragma once

#include <cstddef>
#include <cstdint>

// Arithmetic in GF(2^16) with the polynomial x^16 + x^12 + x^3 + x + 1 (0x1100B), the
// field PAR 2.0's Reed-Solomon code works in. Regions are arrays of 16-bit words in
// the machine's order, which is the little-endian order of the format on the machines
// we build for. Region arithmetic comes from gf-complete; the scalar operations use
// log tables of our own, since the solver calls them millions of times.
namespace Gf16 {

// Prepares the tables; called once before any other function (further calls do nothing).
// False when gf-complete cannot be set up.
bool init();

std::uint16_t multiply(std::uint16_t a, std::uint16_t b);
// a / b; b must not be 0.
std::uint16_t divide(std::uint16_t a, std::uint16_t b);
std::uint16_t inverse(std::uint16_t a);
// a to the power `exponent` (0^0 = 1).
std::uint16_t power(std::uint16_t a, std::uint32_t exponent);

// The constant of the input slice at `index` (0-based, in the set's slice order): 2 to
// the index-th power that is coprime to 65535. Valid for index < maxInputSlices.
std::uint16_t inputConstant(std::uint32_t index);
constexpr std::uint32_t maxInputSlices = 32768;

// destination ^= factor * source over `bytes` bytes (a multiple of 2).
void multiplyAdd(const void* source, void* destination, std::uint16_t factor, std::size_t bytes);

} // namespace Gf16
