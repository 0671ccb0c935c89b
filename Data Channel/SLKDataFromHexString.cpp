#include "CommErrorRaise.h"
#include "Pending.h"
std::shared_ptr<SLKBytes> SLKDataFromHexString(const char*) noexcept { SLK_PENDING(); }
