// The general transformer: every block goes through a stored callable. The callable is held
// behind a shared pointer that is read and replaced atomically, so that blk() and setBlk() can
// meet on two threads without tearing, and a reader keeps the callable it loaded alive while it
// uses it.
#include <SelkoCommunication.h>

#include <utility>

SLPBlockDataTransformer::SLPBlockDataTransformer(Block blk)
    : _blk(std::make_shared<const Block>(std::move(blk))) {}

void SLPBlockDataTransformer::modifyData(SLKBytes& data) {
    const std::shared_ptr<const Block> blk = std::atomic_load(&_blk);
    // An empty callable breaks the class's precondition; doing nothing beats terminating.
    if (*blk)
        (*blk)(data);
}

SLPBlockDataTransformer::Block SLPBlockDataTransformer::blk() const { return *std::atomic_load(&_blk); }

void SLPBlockDataTransformer::setBlk(Block blk) {
    std::atomic_store(&_blk, std::shared_ptr<const Block>(std::make_shared<const Block>(std::move(blk))));
}
