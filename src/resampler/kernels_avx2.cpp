// The inner products compiled for AVX2 with FMA (CMake adds -mavx2 -mfma to this file alone); the engine calls
// them only on a processor that has both.
#define ZEL_KERNEL_NAMESPACE kernels_avx2
#include "kernels.h"
