// The two BPTC block formats of DDS files: BC7 (8-bit RGBA) and BC6H (RGB
// half floats, unsigned or signed). Each call decodes one 16-byte block of
// 4x4 pixels. Any 16 bytes decode to something: the reserved encodings give
// all-zero pixels, as graphics hardware returns for them. No allocation, no
// exceptions; the caller walks the blocks and crops the picture's edges.
#ifndef _BPTC_BLOCKS_H
#define _BPTC_BLOCKS_H

#include <cstdint>

namespace pellara::bptc {

// One BC7 block to 16 pixels, rows top to bottom, R, G, B, A bytes each.
void decode_bc7(const uint8_t block[16], uint8_t rgba[64]);

// One BC6H block to 16 pixels, rows top to bottom, R, G, B as IEEE
// half-float bit patterns. is_signed: BC6H_SF16 rather than BC6H_UF16.
void decode_bc6h(const uint8_t block[16], bool is_signed, uint16_t rgb_half[48]);

// A half-float to an 8-bit level: clamped to 0..1, then round(v * 255);
// NaN as 0.
uint8_t half_to_level(uint16_t half);

} // namespace pellara::bptc

#endif // _BPTC_BLOCKS_H
