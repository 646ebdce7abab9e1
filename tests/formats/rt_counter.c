/* Loaded with LD_PRELOAD into the LV2 host test: counts the heap calls, mutex locks and blocking
 * waits that one thread makes between tolvane_rt_count_begin and tolvane_rt_count_end, which the
 * host puts around the plug-in's run(). Calls of every other thread, and of that thread outside
 * the two, are forwarded untouched and not counted.
 *
 * glibc only: the heap calls forward to glibc's own __libc_malloc and friends, so nothing here
 * needs the dynamic linker before it has the real functions. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

struct tolvane_rt_counts
{
    long allocs; /* malloc, calloc, realloc, the aligned allocators */
    long frees;  /* free of a block */
    long locks;  /* mutex, read-write and spin locks taken or tried */
    long waits;  /* condition and semaphore waits, sleeps, joins */
};

#define TLS __thread __attribute__ ((tls_model ("initial-exec")))
static TLS int armed;
static TLS struct tolvane_rt_counts counts;

#define EXPORT __attribute__ ((visibility ("default")))

EXPORT void tolvane_rt_count_begin (void)
{
    memset (&counts, 0, sizeof counts);
    armed = 1;
}

EXPORT struct tolvane_rt_counts tolvane_rt_count_end (void)
{
    armed = 0;
    return counts;
}

#define COUNT(field)                                                                                                   \
 do                                                                                                                    \
 {                                                                                                                     \
  if (armed)                                                                                                           \
   ++counts.field;                                                                                                     \
 } while (0)

/* --- heap */
extern void* __libc_malloc (size_t);
extern void* __libc_calloc (size_t, size_t);
extern void* __libc_realloc (void*, size_t);
extern void __libc_free (void*);
extern void* __libc_memalign (size_t, size_t);

EXPORT void* malloc (size_t size)
{
    COUNT (allocs);
    return __libc_malloc (size);
}

EXPORT void* calloc (size_t n, size_t size)
{
    COUNT (allocs);
    return __libc_calloc (n, size);
}

EXPORT void* realloc (void* p, size_t size)
{
    COUNT (allocs);
    return __libc_realloc (p, size);
}

EXPORT void free (void* p)
{
    if (p != NULL)
        COUNT (frees);
    __libc_free (p);
}

EXPORT void* memalign (size_t alignment, size_t size)
{
    COUNT (allocs);
    return __libc_memalign (alignment, size);
}

EXPORT void* aligned_alloc (size_t alignment, size_t size)
{
    COUNT (allocs);
    return __libc_memalign (alignment, size);
}

EXPORT int posix_memalign (void** out, size_t alignment, size_t size)
{
    COUNT (allocs);
    if (alignment < sizeof (void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = __libc_memalign (alignment, size);
    if (p == NULL)
        return ENOMEM;
    *out = p;
    return 0;
}

EXPORT void* valloc (size_t size)
{
    COUNT (allocs);
    return __libc_memalign ((size_t) sysconf (_SC_PAGESIZE), size);
}

/* --- locks and waits. The real functions are looked up before main, so that no lookup (which
 * may use the heap) falls inside a counted stretch; one called even earlier looks itself up. */
#define WAIT_FUNCTIONS(X)                                                                                              \
 X (locks, int, pthread_mutex_lock, (pthread_mutex_t * m), (m))                                                        \
 X (locks, int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))                                                     \
 X (locks, int, pthread_mutex_timedlock, (pthread_mutex_t * m, const struct timespec* t), (m, t))                      \
 X (locks, int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))                                                    \
 X (locks, int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))                                                    \
 X (locks, int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * l), (l))                                                 \
 X (locks, int, pthread_rwlock_trywrlock, (pthread_rwlock_t * l), (l))                                                 \
 X (locks, int, pthread_spin_lock, (pthread_spinlock_t * l), (l))                                                      \
 X (waits, int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t * m), (c, m))                                  \
 X (waits, int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t * m, const struct timespec* t),           \
    (c, m, t))                                                                                                         \
 X (waits, int, pthread_join, (pthread_t t, void** r), (t, r))                                                         \
 X (waits, int, sem_wait, (sem_t * s), (s))                                                                            \
 X (waits, int, sem_timedwait, (sem_t * s, const struct timespec* t), (s, t))                                          \
 X (waits, int, nanosleep, (const struct timespec* t, struct timespec* r), (t, r))                                     \
 X (waits, int, clock_nanosleep, (clockid_t c, int f, const struct timespec* t, struct timespec* r), (c, f, t, r))     \
 X (waits, int, usleep, (useconds_t u), (u))                                                                           \
 X (waits, unsigned, sleep, (unsigned s), (s))

#define FORWARD(counter, ret, name, params, args)                                                                      \
 static ret (*real_##name) params;                                                                                     \
 EXPORT ret name params                                                                                                \
 {                                                                                                                     \
  if (real_##name == NULL)                                                                                             \
   real_##name = (ret (*) params) dlsym (RTLD_NEXT, #name);                                                            \
  COUNT (counter);                                                                                                     \
  return real_##name args;                                                                                             \
 }
WAIT_FUNCTIONS (FORWARD)

#define RESOLVE(counter, ret, name, params, args) real_##name = (ret (*) params) dlsym (RTLD_NEXT, #name);
__attribute__ ((constructor)) static void resolve (void) { WAIT_FUNCTIONS (RESOLVE) }
