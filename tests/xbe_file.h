// A default.xbe's first bytes as the console's programs have them, for the
// tables that read titles: "XBEH", the image's base address 0x10000 at 0x104,
// the certificate's address at 0x118, and the title as UTF-16LE at the
// certificate's 0x0C; `size` bytes in all, zeros elsewhere.
#ifndef HALVANE_TESTS_XBE_FILE_H_
#define HALVANE_TESTS_XBE_FILE_H_

#include <cstdint>
#include <string>

inline std::string xbeFile(const std::u16string& title, std::uint32_t certificate = 0x10178,
                           std::size_t size = 0x1000, const char* magic = "XBEH") {
  std::string bytes(size, '\0');
  const auto put = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4 && at + i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  };
  bytes.replace(0, 4, magic, 4);
  put(0x104, 0x10000);
  put(0x118, certificate);
  for (std::size_t i = 0; i < title.size(); ++i) {
    const std::size_t at = certificate - 0x10000 + 0x0C + 2 * i;
    if (at + 1 < size) bytes[at] = static_cast<char>(title[i] & 0xFF), bytes[at + 1] = static_cast<char>(title[i] >> 8);
  }
  return bytes;
}

#endif  // HALVANE_TESTS_XBE_FILE_H_
