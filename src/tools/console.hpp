// The console writer: every console text is written whole to file descriptor 1 under one
// process-wide lock, so texts of parallel encodes never mix inside a text.
#pragma once

#include <string_view>

namespace kestrin {

// Writes all of `text`, continuing partial writes and retrying EINTR. Any other error (standard
// output closed, a broken pipe) is ignored: the console is a display, not a result.
void write_console(std::string_view text);

}  // namespace kestrin
