// The runtime choice between a module's portable kernels and their AVX2 versions, so that one
// build runs on any x86-64.
#pragma once

namespace quillbrax {

inline bool cpu_has_avx2() {
#ifdef QUILLBRAX_BASELINE_ONLY  // lets a test build exercise the portable kernels
    return false;
#else
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2;
#endif
}

}  // namespace quillbrax
