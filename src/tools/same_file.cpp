#include "tools/same_file.hpp"

#include <sys/stat.h>

namespace kestrin {

bool is_same_file(const Text& first, const Text& second) {
    struct stat a {}, b {};
    if (::stat(first.c_str(), &a) != 0 || ::stat(second.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace kestrin
