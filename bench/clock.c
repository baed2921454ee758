/* Core clock and floating-point add throughput of the core the benchmark runs on.
 *
 * Line 1: the clock in Hz. A chain of dependent integer additions of a register retires one per
 * cycle on every x86-64 core, so chain length / elapsed time is the clock the chain ran at; the
 * fastest of many short trials is taken, as a trial that lost the core to another process only
 * runs slower. The addend is a register whose value the compiler cannot see: recent Intel cores
 * fold a chain of additions of an immediate at rename, several per cycle (a Xeon of family 6,
 * model 207 ran such a chain at five times its clock).
 * Line 2: 256-bit double additions (vaddpd ymm) per cycle, from eight independent chains: 2 on a
 * core with two full-width adders, 1 where 256-bit operations are split into 128-bit halves.
 * Line 3: exact squared-distance terms per cycle, from eight independent sums whose terms are
 * taken as the distance kernels take them: a difference (every other one as x·1 − y by a fused
 * multiply-add, where the core has FMA), its square, and the running sum, in the vectors the
 * kernels take on this core: 512-bit where it has AVX-512 (F, DQ and VL), 256-bit otherwise. On
 * a core whose adders are separate from its multipliers (AMD's Zen) this is more than the adders
 * alone allow (half the line-2 figure times 4 lanes), where the two share their ports (Intel's
 * cores), no more with 256-bit vectors; a core with two 512-bit units takes a third more with
 * 512-bit ones. */
#include <stdint.h>
#include <stdio.h>
#include <time.h>

static double seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

static double fastest_integer_chain(void) {
    const uint64_t iterations = 500000; /* × 20 additions: a few milliseconds */
    double best = 1e300;
    for (int trial = 0; trial < 300; ++trial) {
        uint64_t x = 0;
        const uint64_t one = 1 + (uint64_t)(seconds() < 0); /* 1, not a constant */
        const double start = seconds();
        for (uint64_t i = 0; i < iterations; ++i) {
            __asm__ volatile(
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
                : "+r"(x)
                : "r"(one));
        }
        const double elapsed = seconds() - start;
        if (elapsed < best) best = elapsed;
        if (x != 20 * iterations) return -1.0;
    }
    return 20.0 * (double)iterations / best;
}

static double fastest_vector_adds(void) {
    const uint64_t iterations = 200000; /* × 16 additions */
    double best = 1e300;
    for (int trial = 0; trial < 300; ++trial) {
        const double start = seconds();
        for (uint64_t i = 0; i < iterations; ++i) {
            __asm__ volatile(
                "vaddpd %%ymm8, %%ymm0, %%ymm0\n\tvaddpd %%ymm8, %%ymm1, %%ymm1\n\t"
                "vaddpd %%ymm8, %%ymm2, %%ymm2\n\tvaddpd %%ymm8, %%ymm3, %%ymm3\n\t"
                "vaddpd %%ymm8, %%ymm4, %%ymm4\n\tvaddpd %%ymm8, %%ymm5, %%ymm5\n\t"
                "vaddpd %%ymm8, %%ymm6, %%ymm6\n\tvaddpd %%ymm8, %%ymm7, %%ymm7\n\t"
                "vaddpd %%ymm8, %%ymm0, %%ymm0\n\tvaddpd %%ymm8, %%ymm1, %%ymm1\n\t"
                "vaddpd %%ymm8, %%ymm2, %%ymm2\n\tvaddpd %%ymm8, %%ymm3, %%ymm3\n\t"
                "vaddpd %%ymm8, %%ymm4, %%ymm4\n\tvaddpd %%ymm8, %%ymm5, %%ymm5\n\t"
                "vaddpd %%ymm8, %%ymm6, %%ymm6\n\tvaddpd %%ymm8, %%ymm7, %%ymm7"
                ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8");
        }
        const double elapsed = seconds() - start;
        if (elapsed < best) best = elapsed;
    }
    __asm__ volatile("vzeroupper");
    return 16.0 * (double)iterations / best;
}

/* Two terms (one vector each) on accumulators a and b: one difference by subtraction, one by
 * x·1 − y (or a second subtraction without FMA), both squared, both added. */
#define TWO_TERMS(difference, a, b)                                                           \
    "vsubpd %%ymm9, %%ymm8, %%ymm11\n\t" difference "vmulpd %%ymm11, %%ymm11, %%ymm11\n\t"      \
    "vmulpd %%ymm12, %%ymm12, %%ymm12\n\tvaddpd %%ymm11, %%ymm" a ", %%ymm" a "\n\t"           \
    "vaddpd %%ymm12, %%ymm" b ", %%ymm" b "\n\t"
#define EIGHT_TERMS(difference) \
    TWO_TERMS(difference, "0", "1") TWO_TERMS(difference, "2", "3") \
    TWO_TERMS(difference, "4", "5") TWO_TERMS(difference, "6", "7")
#define TWO_TERMS_512(difference, a, b)                                                       \
    "vsubpd %%zmm9, %%zmm8, %%zmm11\n\t" difference "vmulpd %%zmm11, %%zmm11, %%zmm11\n\t"      \
    "vmulpd %%zmm12, %%zmm12, %%zmm12\n\tvaddpd %%zmm11, %%zmm" a ", %%zmm" a "\n\t"           \
    "vaddpd %%zmm12, %%zmm" b ", %%zmm" b "\n\t"
#define EIGHT_TERMS_512(difference) \
    TWO_TERMS_512(difference, "0", "1") TWO_TERMS_512(difference, "2", "3") \
    TWO_TERMS_512(difference, "4", "5") TWO_TERMS_512(difference, "6", "7")

static double fastest_terms(int fma) {
    const uint64_t iterations = 100000; /* × 8 vectors of 4 terms */
    double best = 1e300;
    for (int trial = 0; trial < 300; ++trial) {
        const double start = seconds();
        for (uint64_t i = 0; i < iterations; ++i) {
            if (fma) {
                __asm__ volatile(
                    "vxorpd %%ymm8, %%ymm8, %%ymm8\n\tvxorpd %%ymm9, %%ymm9, %%ymm9\n\t"
                    "vxorpd %%ymm10, %%ymm10, %%ymm10\n\t"
                    EIGHT_TERMS("vmovapd %%ymm9, %%ymm12\n\tvfmsub231pd %%ymm10, %%ymm8, %%ymm12\n\t")
                    ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                        "xmm9", "xmm10", "xmm11", "xmm12");
            } else {
                __asm__ volatile(
                    "vxorpd %%ymm8, %%ymm8, %%ymm8\n\tvxorpd %%ymm9, %%ymm9, %%ymm9\n\t"
                    EIGHT_TERMS("vsubpd %%ymm9, %%ymm8, %%ymm12\n\t")
                    ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                        "xmm9", "xmm10", "xmm11", "xmm12");
            }
        }
        const double elapsed = seconds() - start;
        if (elapsed < best) best = elapsed;
    }
    __asm__ volatile("vzeroupper");
    return 32.0 * (double)iterations / best;
}

/* The same on 512-bit vectors: sixteen terms of eight lanes, with FMA (every AVX-512 core has it). */
static double fastest_terms_512(void) {
    const uint64_t iterations = 100000; /* × 8 vectors of 8 terms */
    double best = 1e300;
    for (int trial = 0; trial < 300; ++trial) {
        const double start = seconds();
        for (uint64_t i = 0; i < iterations; ++i) {
            __asm__ volatile(
                "vpxorq %%zmm8, %%zmm8, %%zmm8\n\tvpxorq %%zmm9, %%zmm9, %%zmm9\n\t"
                "vpxorq %%zmm10, %%zmm10, %%zmm10\n\t"
                EIGHT_TERMS_512("vmovapd %%zmm9, %%zmm12\n\tvfmsub231pd %%zmm10, %%zmm8, %%zmm12\n\t")
                ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                    "xmm9", "xmm10", "xmm11", "xmm12");
        }
        const double elapsed = seconds() - start;
        if (elapsed < best) best = elapsed;
    }
    __asm__ volatile("vzeroupper");
    return 64.0 * (double)iterations / best;
}

int main(void) {
    const double clock = fastest_integer_chain();
    if (clock <= 0) return 1;
    const int fma = __builtin_cpu_supports("fma");
    const int avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                       __builtin_cpu_supports("avx512vl");
    const double terms = avx512 ? fastest_terms_512() : fastest_terms(fma);
    printf("%.0f\n%.3f\n%.3f\n", clock, fastest_vector_adds() / clock, terms / clock);
    return 0;
}
