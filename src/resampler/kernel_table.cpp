#include <cstdlib>
#include <string>

#include "kernels.h"

namespace zel::engine {

KernelTable kernelsFor(Preset::Precision precision) {
#if defined(__x86_64__) && !defined(ZEL_NO_SIMD)
#ifdef ZEL_KERNEL_OVERRIDE
    // The test build's seam: ZEL_RESAMPLE_KERNEL=generic keeps the portable kernels, so that their results are
    // checked on any machine. A release build reads no environment.
    const char *kernel = std::getenv("ZEL_RESAMPLE_KERNEL");
    if (kernel != nullptr && std::string(kernel) == "generic") return kernels_generic::table(precision);
#endif
    __builtin_cpu_init();  // a shared library may be configured before the runtime's constructors have run
    if (__builtin_cpu_supports("avx2")) return kernels_avx2::table(precision);
#endif
    return kernels_generic::table(precision);
}

}  // namespace zel::engine
