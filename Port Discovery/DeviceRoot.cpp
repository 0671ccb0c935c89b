#include "PortListing.h"

#include <cstdlib>

namespace selko::detail {

std::string deviceRoot() {
    const char* root = ::secure_getenv("SELKO_DEVICE_ROOT");
    return root != nullptr && *root != '\0' ? std::string(root) : std::string("/");
}

std::string pathUnderRoot(const std::string& root, const std::string& path) {
    return root == "/" ? path : root + path;
}

} // namespace selko::detail
