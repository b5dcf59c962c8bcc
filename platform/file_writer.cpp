// What both sides of file_writer.h share.
#include "platform/file_writer.h"

#include <algorithm>

void judgeOldBytes(OldBytes& old, std::string_view block, std::uint64_t offset, std::string_view contents) {
  constexpr std::string_view kLineEnds = "\r\n";
  if (!old.holds_text) old.holds_text = block.find_first_not_of(kLineEnds) != std::string_view::npos;
  if (old.differs) return;
  const std::size_t shared =
      offset >= contents.size() ? 0 : std::min<std::size_t>(block.size(), contents.size() - offset);
  // Views made by hand, as substr could throw.
  old.differs = std::string_view(block.data(), shared) != std::string_view(contents.data() + offset, shared) ||
                block.find_first_not_of(kLineEnds, shared) != std::string_view::npos;
}
