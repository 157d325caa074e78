// How many processors this process may use: its CPU affinity set, cut down by a control-group
// CPU quota where one is set. Sizes the batch worker pool.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "kestrin.hpp"

namespace kestrin {

// The processors a quota of `quota` per `period` lets the process keep busy, rounded up: a
// quota of 1.5 processors still gets two workers, each of them throttled now and then.
// Nothing when either is not a positive number.
std::optional<unsigned> quota_processors(std::string_view quota, std::string_view period);

// cgroup v2's cpu.max: "max 100000" (no limit) or "150000 100000".
std::optional<unsigned> cpu_max_processors(std::string_view contents);

// A folder of the process's own control group, in one hierarchy.
struct CgroupFolder {
    Text mount_point;  // where the hierarchy is mounted, e.g. "/sys/fs/cgroup"
    Text relative;     // the group below it, "" for the mounted root or "/a/b"
};

// The process's group in the unified (v2) hierarchy and in the v1 hierarchy that carries the
// cpu controller, from the texts of /proc/self/cgroup and /proc/self/mountinfo. A hierarchy
// that is not mounted, or whose mounted root does not hold the process's group, is left out.
struct QuotaFolders {
    std::optional<CgroupFolder> unified;
    std::optional<CgroupFolder> cpu_controller;
};
QuotaFolders find_quota_folders(std::string_view proc_cgroup, std::string_view mountinfo);

// The affinity set's size limited by every quota on the way from the process's groups up to
// their hierarchies' roots; 1 when the affinity set can't be read.
unsigned processors_available();

}  // namespace kestrin
