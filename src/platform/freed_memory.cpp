#include "platform/freed_memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace plindo::platform {

void returnFreedMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace plindo::platform
