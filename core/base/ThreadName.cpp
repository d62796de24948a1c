#include "core/base/ThreadName.h"

#include <pthread.h>

#include <cstring>

namespace tav {

void NameThisThread(const char *name)
{
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    pthread_setname_np(pthread_self(), cut);
}

}  // namespace tav
