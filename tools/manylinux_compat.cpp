// Linked into every module of the release wheel (make dist, QUILLBRAX_MANYLINUX=ON), which links
// libstdc++ statically so that the modules need no GLIBCXX_ or CXXABI_ version of the system's
// libstdc++. What is left are references, from our objects and from libstdc++.a's, to glibc
// symbols newer than 2.28. The link redirects each of them (ld --wrap=NAME) to a definition here
// that needs nothing newer, so the modules load on glibc 2.28 and later (manylinux_2_28).
// None of them is on a path that computes a result.
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

// The same functions under the versions they had before glibc 2.34 moved libpthread into libc.
int quillbrax_old_pthread_once(pthread_once_t*, void (*)());
int quillbrax_old_pthread_key_create(pthread_key_t*, void (*)(void*));
__asm__(".symver quillbrax_old_pthread_once,pthread_once@GLIBC_2.2.5");
__asm__(".symver quillbrax_old_pthread_key_create,pthread_key_create@GLIBC_2.2.5");
double quillbrax_old_pow(double, double);
__asm__(".symver quillbrax_old_pow,pow@GLIBC_2.2.5");

[[gnu::visibility("hidden")]] int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
    return quillbrax_old_pthread_once(once, init);
}

[[gnu::visibility("hidden")]] int __wrap___pthread_key_create(pthread_key_t* key,
                                                                void (*destructor)(void*)) {
    return quillbrax_old_pthread_key_create(key, destructor);
}

// pow@GLIBC_2.29 only dropped the wrapper of pow@GLIBC_2.2.5 that sets errno on a domain or range
// error; both return the bits of the same implementation, glibc's since 2.28.
[[gnu::visibility("hidden")]] double __wrap_pow(double x, double y) {
    return quillbrax_old_pow(x, y);
}

// glibc 2.32 tells libstdc++ through this flag that the process has one thread, so that
// reference counts can skip atomic instructions. Ours says "maybe threaded" for good: the
// atomic updates are always made, which is right in every process.
[[gnu::visibility("hidden")]] char __wrap___libc_single_threaded = 0;

// glibc 2.36. Only std::random_device, which no module uses, reaches it.
[[gnu::visibility("hidden")]] std::uint32_t __wrap_arc4random() {
    std::uint32_t value = 0;
    if (getentropy(&value, sizeof value) != 0) std::abort();
    return value;
}

}  // extern "C"
