// Starts detached worker threads that run one callable once. The thread owns a heap copy of the
// callable and keeps it in a thread-specific slot whose destructor frees it while the thread
// exits, so everything the callable captured lives until its thread is completely done with it.
#include "SLKDetachedThread.h"

#include "SelkoCommunication.h"

#include <pthread.h>

#include <cerrno>
#include <new>

namespace {

using Block = std::function<void()>;

// One key for the whole process, made on the first thread entry and never deleted.
pthread_key_t block_key;
pthread_once_t block_key_once = PTHREAD_ONCE_INIT;
int block_key_status = 0;   // pthread_key_create's result: the key exists only when it is 0

void createBlockKey() { block_key_status = pthread_key_create(&block_key, selko__block_dispose); }

} // namespace

void selko__block_dispose(void* copy) noexcept { delete static_cast<Block*>(copy); }

void* selko__block_start__(void* copy) noexcept {
    pthread_once(&block_key_once, createBlockKey);
    // From here on the key's destructor owns the copy: it runs on this thread after we return.
    // Without a key (the process ran out of them) this thread frees the copy itself, still after
    // the callable returned.
    const bool keyOwnsCopy = block_key_status == 0 && pthread_setspecific(block_key, copy) == 0;
    try {
        (*static_cast<Block*>(copy))();
    } catch (...) {
        // An exception has nowhere to go on a detached thread; it must not end the process.
    }
    if (!keyOwnsCopy)
        selko__block_dispose(copy);
    return nullptr;
}

bool selko__tryDetachNewThreadWithBlock(std::function<void()> block) noexcept {
    if (!block) {
        errno = EINVAL;
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setscope(&attributes, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    Block* copy = new (std::nothrow) Block(std::move(block));
    if (copy == nullptr) {
        pthread_attr_destroy(&attributes);
        errno = ENOMEM;
        return false;
    }
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, selko__block_start__, copy);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        // The thread never saw the copy, so nobody else will free it.
        delete copy;
        errno = created;
        return false;
    }
    return true;
}

void selko_detachNewThreadWithBlock(std::function<void()> block) noexcept {
    // The exported launcher reports nothing: a thread that cannot be started is simply not run.
    (void)selko__tryDetachNewThreadWithBlock(std::move(block));
}
