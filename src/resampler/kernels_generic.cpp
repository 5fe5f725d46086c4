// The inner products for any processor, and the transform that designs every band plan.
#define ZEL_KERNEL_NAMESPACE kernels_generic
#define ZEL_KERNEL_PLANS
#include "kernels.h"
