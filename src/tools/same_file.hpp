// Whether two paths name one file.
#pragma once

#include "kestrin.hpp"

namespace kestrin {

// True when both exist and are the same file (same device and inode): a relative spelling, a
// symbolic or a hard link. ffmpeg refuses an output that is its input only by the same text.
bool is_same_file(const Text& first, const Text& second);

}  // namespace kestrin
