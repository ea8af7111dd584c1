// A small PNG writer for the generators and tools: no library needed, and
// byte-for-byte the same output for the same pixels on every run.
#pragma once

#include <cstdint>
#include <vector>

// How the pixel rows are packed into the file.
enum png_packing {
  PNG_STORED,    // as they are (zlib's stored blocks): simplest, and large
  PNG_DEFLATED,  // squeezed by LZ77 with deflate's fixed Huffman codes
};

// rgb: w * h pixels 0xRRGGBB, at most 256 colours; an indexed-colour image
// whose palette lists the colours in the order they first appear.
std::vector<uint8_t> png_indexed(int w, int h, const std::vector<uint32_t>& rgb, png_packing packing);

// argb: w * h pixels 0xAARRGGBB, alpha not premultiplied; a true-colour image,
// with its alpha channel when alpha is set (else the alpha bytes are ignored).
std::vector<uint8_t> png_truecolour(int w, int h, const std::vector<uint32_t>& argb, bool alpha);

// Writes data to path whole; false on any failure.
bool write_file(const char* path, const std::vector<uint8_t>& data);
