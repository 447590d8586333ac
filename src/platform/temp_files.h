#pragma once
// The temporary folder ($TMPDIR, else /tmp) and safe file-name tails for downloads kept in it.
#include <string>

namespace plindo::platform {

std::string tempFolder();

// `name` made safe as the tail of a file name: "/" and NUL become "_", "." and ".." become "_", and the
// result is cut (at a character boundary) to keep the whole name within the file system's limit.
std::string safeFileNameTail(const std::string& name);

}  // namespace plindo::platform
