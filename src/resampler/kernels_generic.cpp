// The inner products for any x86-64 (SSE2) or other processor.
#define ZEL_KERNEL_NAMESPACE kernels_generic
#include "kernels.h"
