// Containers commonly pin a quota rather than an affinity set: a process that can see 64
// processors but may only use 2 of them would otherwise start 64 encodes that all crawl.
#include "batch/processors.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>

#include "tools/text.hpp"
#include "tools/unique_fd.hpp"

namespace kestrin {
namespace {

std::optional<long long> parse_integer(std::string_view text) {
    text = trim_white_space(text);
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t from = 0;
    for (;;) {
        const auto at = text.find(separator, from);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(from));
            return pieces;
        }
        pieces.push_back(text.substr(from, at - from));
        from = at + 1;
    }
}

bool has_item(std::string_view comma_list, std::string_view item) {
    for (std::string_view piece : split(comma_list, ',')) {
        if (piece == item) return true;
    }
    return false;
}

// mountinfo writes space, tab, line feed and backslash in paths as three octal digits.
Text unescape_mount_path(std::string_view field) {
    Text path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                path += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 +
                                          (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        path += field[i];
    }
    return path;
}

struct Mount {
    Text root;
    Text mount_point;
    std::string_view fs_type;
    std::string_view super_options;
};

std::optional<Mount> parse_mount_line(std::string_view line) {
    const auto fields = split(line, ' ');
    // ID, parent, device, root, mount point, options, optional fields, "-", type, source, options
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 10 || dash - fields.begin() < 6 || fields.end() - dash < 4) return {};
    return Mount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4]), dash[1], dash[3]};
}

// The group's path below the mounted root, or nothing when the mount does not reach the group
// (a cgroup namespace mismatch, or a mount of some other subtree).
std::optional<Text> below_root(std::string_view group, std::string_view root) {
    if (root == "/") return Text(group == "/" ? "" : group);
    if (group == root) return Text();
    if (group.size() > root.size() && group.substr(0, root.size()) == root &&
        group[root.size()] == '/')
        return Text(group.substr(root.size()));
    return {};
}

// Control files hold a line; mountinfo on a busy host can hold thousands.
std::optional<Text> read_whole_file(const Text& path, std::size_t limit = 1 << 22) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return {};
    Text contents;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return {};
        if (got == 0) return contents;
        contents.append(buffer, static_cast<std::size_t>(got));
        if (contents.size() > limit) return {};
    }
}

// A quota set on any ancestor binds every group below it, so the folder and all of its
// parents up to the hierarchy's root are read, and the smallest limit wins.
template <class Limit>
std::optional<unsigned> smallest_limit_upwards(const CgroupFolder& folder, Limit limit_of) {
    std::optional<unsigned> smallest;
    Text relative = folder.relative;
    for (;;) {
        if (auto limit = limit_of(folder.mount_point + relative)) {
            smallest = smallest ? std::min(*smallest, *limit) : *limit;
        }
        if (relative.empty()) return smallest;
        relative.erase(relative.rfind('/'));
    }
}

unsigned affinity_processors() {
    for (int capacity = CPU_SETSIZE; capacity <= (1 << 20); capacity *= 2) {
        cpu_set_t* set = CPU_ALLOC(capacity);
        if (set == nullptr) return 1;
        const std::size_t size = CPU_ALLOC_SIZE(capacity);
        const int rc = sched_getaffinity(0, size, set);
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        const int error = errno;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<unsigned>(count) : 1;
        if (error != EINVAL) return 1;  // EINVAL: the kernel's mask is larger than ours
    }
    return 1;
}

}  // namespace

std::optional<unsigned> quota_processors(std::string_view quota, std::string_view period) {
    const auto quota_value = parse_integer(quota);
    const auto period_value = parse_integer(period);
    if (!quota_value || !period_value || *quota_value <= 0 || *period_value <= 0) return {};
    const long long whole = *quota_value / *period_value + (*quota_value % *period_value != 0);
    return static_cast<unsigned>(
        std::min<long long>(whole, std::numeric_limits<unsigned>::max()));
}

std::optional<unsigned> cpu_max_processors(std::string_view contents) {
    const auto fields = split(trim_white_space(contents), ' ');
    if (fields.size() != 2 || fields[0] == "max") return {};
    return quota_processors(fields[0], fields[1]);
}

QuotaFolders find_quota_folders(std::string_view proc_cgroup, std::string_view mountinfo) {
    std::optional<Text> unified_group, cpu_group;
    for (std::string_view line : split(proc_cgroup, '\n')) {
        const auto first = line.find(':');
        const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const Text group(line.substr(second + 1));
        if (id == "0" && controllers.empty()) unified_group = group;
        else if (has_item(controllers, "cpu")) cpu_group = group;
    }

    QuotaFolders folders;
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto mount = parse_mount_line(line);
        if (!mount) continue;
        if (mount->fs_type == "cgroup2" && unified_group && !folders.unified) {
            if (auto relative = below_root(*unified_group, mount->root))
                folders.unified = CgroupFolder{mount->mount_point, *relative};
        } else if (mount->fs_type == "cgroup" && cpu_group && !folders.cpu_controller &&
                   has_item(mount->super_options, "cpu")) {
            if (auto relative = below_root(*cpu_group, mount->root))
                folders.cpu_controller = CgroupFolder{mount->mount_point, *relative};
        }
    }
    return folders;
}

unsigned processors_available() {
    unsigned processors = affinity_processors();
    const auto cgroup = read_whole_file("/proc/self/cgroup");
    const auto mountinfo = read_whole_file("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return processors;
    const QuotaFolders folders = find_quota_folders(*cgroup, *mountinfo);
    std::optional<unsigned> limit;
    const auto narrow = [&](std::optional<unsigned> found) {
        if (found) limit = limit ? std::min(*limit, *found) : *found;
    };
    if (folders.unified) {
        narrow(smallest_limit_upwards(*folders.unified, [](const Text& folder) {
            const auto contents = read_whole_file(folder + "/cpu.max");
            return contents ? cpu_max_processors(*contents) : std::nullopt;
        }));
    }
    if (folders.cpu_controller) {
        narrow(smallest_limit_upwards(*folders.cpu_controller, [](const Text& folder) {
            const auto quota = read_whole_file(folder + "/cpu.cfs_quota_us");
            const auto period = read_whole_file(folder + "/cpu.cfs_period_us");
            return quota && period ? quota_processors(*quota, *period) : std::nullopt;
        }));
    }
    if (limit) processors = std::min(processors, std::max(*limit, 1u));
    return processors;
}

}  // namespace kestrin
