#pragma once

namespace quennet {

// The program's version as the build names it ("1.0.5"), for --version and
// the About box.
const char* QuennetVersion();

}  // namespace quennet
