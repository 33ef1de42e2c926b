// The kernel's struct sched_attr as of its first version (48 bytes), which
// every kernel that has sched_setattr/sched_getattr accepts; glibc has no
// wrapper for these calls, and <linux/sched/types.h> clashes with
// <sched.h>.
//
//   kelto::SchedAttr attr{};
//   syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0);  // attr.runtime: the slice, ns
#ifndef KELTO_PLATFORM_SCHED_ATTR_H
#define KELTO_PLATFORM_SCHED_ATTR_H

#include <cstdint>

namespace kelto {

struct SchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;  // on a fair-share policy (Linux 6.12 on): the time slice, ns
    uint64_t deadline;
    uint64_t period;
};
static_assert(sizeof(SchedAttr) == 48, "sched_attr, first version");

}  // namespace kelto

#endif
