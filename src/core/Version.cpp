#include "core/Version.h"

namespace quennet {

// Set for this one file by the build, so that a new version recompiles
// nothing else.
const char* QuennetVersion() { return QUENNET_VERSION; }

}  // namespace quennet
