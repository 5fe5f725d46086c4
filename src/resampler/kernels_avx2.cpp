// The inner products compiled for AVX2 (CMake adds -mavx2 to this file alone); the engine calls them only on a
// processor that has it.
#define ZEL_KERNEL_NAMESPACE kernels_avx2
#include "kernels.h"
