// The runtime choice between a module's portable kernels and their AVX2 versions, so that one
// build runs on any x86-64. Every module dispatches the same way:
//
//     return quillbrax::dispatch<kernel_portable, kernel_avx2>(arguments...);
//
// where kernel_avx2 is the same code compiled with [[gnu::target("avx2")]] (or "avx2,fma": the
// AVX2 kernels run only where the processor has FMA as well, as every AVX2 processor does). Setting
// QUILLBRAX_PORTABLE_KERNELS=1 in the environment (read once per process) forces the portable
// kernels, so that one build tests both paths.
//
// Kernels with a third version for AVX-512 (F with DQ and VL, as every AVX-512 processor since the
// first Xeon with it has) choose among three with dispatch_wide<portable, avx2, avx512>;
// QUILLBRAX_NO_AVX512=1 forces their AVX2 versions on a processor with AVX-512, again so that one
// machine tests every path.
#pragma once

#include <cstdlib>
#include <utility>

namespace quillbrax {

// Whether the environment variable is set to something other than "" or "0".
inline bool environment_flag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
}

inline bool cpu_has_avx2() {
    static const bool has_avx2 = [] {
        if (environment_flag("QUILLBRAX_PORTABLE_KERNELS")) return false;
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has_avx2;
}

// __builtin_cpu_supports also asks whether the operating system saves the AVX-512 registers.
inline bool cpu_has_avx512() {
    static const bool has_avx512 = [] {
        if (!cpu_has_avx2() || environment_flag("QUILLBRAX_NO_AVX512")) return false;
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
    }();
    return has_avx512;
}

template <auto portable, auto avx2, class... Arguments>
inline decltype(auto) dispatch(Arguments&&... arguments) {
    if (cpu_has_avx2()) return avx2(std::forward<Arguments>(arguments)...);
    return portable(std::forward<Arguments>(arguments)...);
}

template <auto portable, auto avx2, auto avx512, class... Arguments>
inline decltype(auto) dispatch_wide(Arguments&&... arguments) {
    if (cpu_has_avx512()) return avx512(std::forward<Arguments>(arguments)...);
    return dispatch<portable, avx2>(std::forward<Arguments>(arguments)...);
}

}  // namespace quillbrax
