// SPDX-License-Identifier: GPL-2.0-or-later
// The standard descriptors, before anything else is opened.
#pragma once

namespace duobl {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. A
// program started with a closed standard output would otherwise get the
// flash device as descriptor 1, and stdio would flush the report into the
// chip. Ends the process with status 1, silently, when /dev/null cannot be
// opened. Call it first, before any file is opened.
void ensure_standard_streams();

}  // namespace duobl
