// The runtime choice between a module's portable kernels and their AVX2 versions, so that one
// build runs on any x86-64. Every module dispatches the same way:
//
//     return quillbrax::dispatch<kernel_portable, kernel_avx2>(arguments...);
//
// where kernel_avx2 is the same code compiled with [[gnu::target("avx2")]] (or "avx2,fma": the
// AVX2 kernels run only where the processor has FMA as well, as every AVX2 processor does). Setting
// QUILLBRAX_PORTABLE_KERNELS=1 in the environment (read once per process) forces the portable
// kernels, so that one build tests both paths.
#pragma once

#include <cstdlib>
#include <utility>

namespace quillbrax {

inline bool cpu_has_avx2() {
    static const bool has_avx2 = [] {
        const char* forced = std::getenv("QUILLBRAX_PORTABLE_KERNELS");
        if (forced != nullptr && forced[0] != '\0' && !(forced[0] == '0' && forced[1] == '\0')) {
            return false;
        }
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has_avx2;
}

template <auto portable, auto avx2, class... Arguments>
inline decltype(auto) dispatch(Arguments&&... arguments) {
    if (cpu_has_avx2()) return avx2(std::forward<Arguments>(arguments)...);
    return portable(std::forward<Arguments>(arguments)...);
}

}  // namespace quillbrax
