#include "base/scan.h"

#include "base/utf16.h"

namespace base::detail {

UnitScan scanUnitsFrom(std::string_view bytes, std::size_t at, bool bigEndian, std::uint16_t stop1,
                       std::uint16_t stop2, bool ascii) {
  const std::size_t whole = bytes.size() & ~std::size_t{1};
  for (; at < whole; at += 2) {
    const std::uint32_t unit = utf16::unitAt(bytes.data() + at, bigEndian);
    if (unit == stop1 || unit == stop2) return {at, true, ascii};
    if (unit >= 0x80) ascii = false;
  }
  return {whole, false, ascii};
}

}  // namespace base::detail
