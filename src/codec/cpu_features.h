#pragma once
// What the CPU offers beyond the baseline the program is built for. Kernels that use more
// live in files of their own (name_avx2.cpp), each beside a portable version that gives the
// same results; the choice is made once, at start-up.
namespace qv5 {

#if defined(__x86_64__) && defined(__GNUC__)
#define QV5_X86_KERNELS 1
bool avx2Supported();
#endif

} // namespace qv5
