#include "spatial/common/parallel.hpp"

#include <sched.h>

#include "array/error.hpp"

namespace veltrix {

u64 resolve_workers(i64 workers) {
    if (workers >= 1) return static_cast<u64>(workers);
    if (workers != -1) VELTRIX_FAIL("workers must be -1 or at least 1");
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? static_cast<u64>(n) : 1;
}

}  // namespace veltrix
