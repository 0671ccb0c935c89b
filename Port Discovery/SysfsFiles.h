// Small readers of sysfs entries: attribute texts, link targets, directory listings. Every one
// answers "" or an empty list when the entry is missing or unreadable.
#ifndef SELKO_SYSFS_FILES_H
#define SELKO_SYSFS_FILES_H

#include <string>
#include <vector>

namespace selko::detail {

// The first line of the file at `path`, without its line end.
std::string readAttribute(const std::string& path);
// The attribute as a hexadecimal number (sysfs writes USB ids and interface numbers so); -1 when
// missing or not a number.
int readHexAttribute(const std::string& path);
// The last component of the target of the symbolic link at `path` ("ftdi_sio" for a driver link).
std::string linkTargetName(const std::string& path);
// The canonical path of `path` with every link resolved.
std::string resolvedPath(const std::string& path);
// The target of the symbolic link at `path`, made absolute against the link's folder and with "."
// and ".." removed, without touching the target itself (which may not exist). An absolute target
// is taken below `root`.
std::string linkTargetUnder(const std::string& root, const std::string& path);
// `path` made absolute-looking with "." and ".." removed, without touching the file system.
std::string normalizedPath(const std::string& path);
// The names in the folder at `path`, sorted, without "." and ".."; *errorNumber (when given) is
// the system's error number when the folder cannot be opened, else 0.
std::vector<std::string> folderEntries(const std::string& path, int* errorNumber = nullptr);
// The folder holding `path` ("/a/b" -> "/a").
std::string parentFolder(const std::string& path);
bool exists(const std::string& path);

} // namespace selko::detail

#endif
