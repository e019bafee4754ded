// Clang's thread-safety analysis attributes; empty under other compilers.
#pragma once

#if defined(__clang__)
#define PLT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PLT_THREAD_ANNOTATION(x)
#endif

#define PLT_CAPABILITY(x) PLT_THREAD_ANNOTATION(capability(x))
#define PLT_SCOPED_CAPABILITY PLT_THREAD_ANNOTATION(scoped_lockable)
#define PLT_GUARDED_BY(x) PLT_THREAD_ANNOTATION(guarded_by(x))
#define PLT_PT_GUARDED_BY(x) PLT_THREAD_ANNOTATION(pt_guarded_by(x))
#define PLT_REQUIRES(...) PLT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define PLT_ACQUIRE(...) PLT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define PLT_RELEASE(...) PLT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define PLT_TRY_ACQUIRE(...) PLT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define PLT_EXCLUDES(...) PLT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define PLT_NO_THREAD_SAFETY_ANALYSIS PLT_THREAD_ANNOTATION(no_thread_safety_analysis)
