// Clang's thread-safety annotations, so that lock discipline is checked by
// the compiler (-Wthread-safety) instead of stated in comments. Other
// compilers see nothing.
//
//   GUARDED_BY(m)     the field is read and written only with m held
//   REQUIRES(m)       the caller holds m
//   EXCLUDES(m)       the caller does not hold m (the function takes it)
//   ACQUIRE, RELEASE  the function takes / gives back the capability
#ifndef CORVEX_THREAD_ANNOTATIONS_H
#define CORVEX_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define CORVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) CORVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY CORVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) CORVEX_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) CORVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) CORVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) CORVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) CORVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

#endif  // CORVEX_THREAD_ANNOTATIONS_H
