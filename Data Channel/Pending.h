// TEMPORARY while the library is being assembled: marks a definition that is not written yet.
// Must be gone (with every use) before anything lands.
#pragma once
#include <cstdlib>
#define SLK_PENDING() std::abort()
