/* Core clock and floating-point add throughput of the core the benchmark runs on.
 *
 * Line 1: the clock in Hz. A chain of dependent integer additions retires one per cycle on every
 * x86-64 core, so chain length / elapsed time is the clock the chain ran at; the fastest of many
 * short trials is taken, as a trial that lost the core to another process only runs slower.
 * Line 2: 256-bit double additions (vaddpd ymm) per cycle, from eight independent chains: 2 on a
 * core with two full-width adders, 1 where 256-bit operations are split into 128-bit halves.
 * That, and two adder operations per term (the difference and the running sum), bounds the
 * terms per cycle that an exact distance kernel can reach. */
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
        const double start = seconds();
        for (uint64_t i = 0; i < iterations; ++i) {
            __asm__ volatile(
                "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0"
                : "+r"(x));
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

int main(void) {
    const double clock = fastest_integer_chain();
    if (clock <= 0) return 1;
    printf("%.0f\n%.3f\n", clock, fastest_vector_adds() / clock);
    return 0;
}
