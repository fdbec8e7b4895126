#pragma once

// QB_ALWAYS_INLINE keeps a function inline where the compiler's size limits would make it a call,
// on a path that runs for every line: there the call costs as much as the work.
#if defined(_MSC_VER)
#define QB_ALWAYS_INLINE __forceinline
#else
#define QB_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif
