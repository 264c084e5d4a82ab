#include "codec/cpu_features.h"

namespace qv5 {

#ifdef QV5_X86_KERNELS
bool avx2Supported()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

} // namespace qv5
