// The request reader: cuts standard input into lines for the serve loop.
#pragma once

#include <string_view>

#include "queue.hpp"

namespace qor_webview_helper {

// Reads lines from `fd` and pushes each, terminator stripped, into the queue
// until the input ends, a read fails, a line is not UTF-8 or the receiver is
// gone. Releases the sender before it returns.
void read_requests(QueueSender sender, int fd = 0);

// Starts `read_requests` on a detached thread named "requests"; false when
// the thread could not be made (the sender is then released, closing the
// queue).
bool start_reader(QueueSender sender);

}  // namespace qor_webview_helper
